// Definitions of the process-wide run control state.
#include "run/run_state.h"

int g_iFlag = 0;
int silent = 0;
std::string g_XMLDiscoveryReport;
const char* const g_XMLDiscoveryReportDefault = "nicdiscovery.xml";
