#include "Globals.h"

const char *serialPort = nullptr;
const char *serialPortKESP = nullptr;
int32 deviceBaudRate = 1200;
uint8 KESPAddr = 224;
bool moduleApresent = false;
bool moduleBpresent = false;
bool moduleCpresent = false;
bool moduleDpresent = false;
const char *jsonPath = nullptr;
const char *jsonPathTMP = nullptr;
volatile bool needRestart = false;
SystemMgr *volatile pSysMgr = nullptr;
const char *build_date = TVK_BUILD_DATE;
const char *build_git_sha = TVK_GIT_SHA;
