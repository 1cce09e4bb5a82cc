#include "Monitor/T_StatusServer.h"

struct TStatusServer::TImpl {};
TStatusServer::TStatusServer(ISystem&, IDebugSink&, TAgentRegistry&, const TMonitorSettings&) {}
TStatusServer::~TStatusServer() = default;
TStatus TStatusServer::Start() { return TStatus::Failure("status server", "not built yet"); }
uint16_t TStatusServer::Port() const { return 0; }
void TStatusServer::Stop() {}
