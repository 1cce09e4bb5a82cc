#include "Monitor/T_DiscoveryResponder.h"

struct TDiscoveryResponder::TImpl {};
TDiscoveryResponder::TDiscoveryResponder(IDebugSink&, TAgentRegistry&, const TMonitorSettings&) {}
TDiscoveryResponder::~TDiscoveryResponder() = default;
TStatus TDiscoveryResponder::Start() { return TStatus::Failure("discovery", "not built yet"); }
uint16_t TDiscoveryResponder::Port() const { return 0; }
void TDiscoveryResponder::Stop() {}
