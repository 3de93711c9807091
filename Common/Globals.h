// Process-wide settings, written once by the entry point before the system
// manager exists and only read afterwards.
#ifndef TVK_GLOBALS_H
#define TVK_GLOBALS_H

#include "Types.h"

class SystemMgr;

extern const char *serialPort;       // module-bus device ("485-1")
extern const char *serialPortKESP;   // cabinet-bus device ("485-2")
extern int32 deviceBaudRate;         // module-bus baud rate
extern uint8 KESPAddr;               // own cabinet address, 234..237, or 224
extern bool moduleApresent, moduleBpresent, moduleCpresent, moduleDpresent;
extern const char *jsonPath;
extern const char *jsonPathTMP;
extern volatile bool needRestart;
extern SystemMgr *volatile pSysMgr;
extern const char *build_date;
extern const char *build_git_sha;

// Letter of a cabinet address: 'A' for 234 .. 'D' for 237 ('7' for 224).
inline char cabinetLetter(uint8 addr) { return char(addr - 169); }
inline char ownCabinetLetter() { return cabinetLetter(KESPAddr); }

#endif
