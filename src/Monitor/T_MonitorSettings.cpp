#include "Monitor/T_MonitorSettings.h"

TMonitorSettings ReadMonitorSettings(const TIniFile&) { return {}; }
