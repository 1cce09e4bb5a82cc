#include "Monitor/T_WebServer.h"

struct TWebServer::TImpl {};
TWebServer::TWebServer(const TAgentRegistry&, const TMonitorSettings&) {}
TWebServer::~TWebServer() = default;
TStatus TWebServer::Start() { return TStatus::Failure("web server", "not built yet"); }
uint16_t TWebServer::Port() const { return 0; }
void TWebServer::Stop() {}
