#include "SysCfgMgr.h"

#include "Globals.h"
#include "Profile.h"

#include <cstring>

SysCfgMgr::SysCfgMgr()
{
    memset(&Cfg, 0, sizeof Cfg);
    numUPS = 0;
    seventhModule = 0;
    moduleNotOnLoad = 0;
    moduleUsed = 0;

#if defined(TVK_MODULAR)
    // The modular plant always has cabinet A.
    const bool present[MAXUPSBOX] = {true, moduleBpresent, moduleCpresent, moduleDpresent};
#else
    const bool present[MAXUPSBOX] = {moduleApresent, moduleBpresent, moduleCpresent, moduleDpresent};
#endif
    for (int i = 0; i < MAXUPSBOX; ++i) {
        if (!present[i])
            continue;
        Cfg.Ups[i].present = 1;
        Cfg.Ups[i].modulePresent[0] = 1;
        ++numUPS;
    }
    Cfg.redundantUPS = profile::redundantUPS;
}
