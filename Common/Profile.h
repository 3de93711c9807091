// Compile-time build profile of the card program.
// TVK_PROFILE is set by the build: 1 naval, 2 standard, 3 modular.
#ifndef TVK_PROFILE_H
#define TVK_PROFILE_H

#ifndef TVK_PROFILE
#error "TVK_PROFILE must be defined by the build (1 naval, 2 standard, 3 modular)"
#endif

#define TVK_PROFILE_NAVAL 1
#define TVK_PROFILE_STD 2
#define TVK_PROFILE_MODULAR 3

#if TVK_PROFILE == TVK_PROFILE_NAVAL
#define TVK_NAVAL 1
#elif TVK_PROFILE == TVK_PROFILE_STD
#define TVK_STD 1
#elif TVK_PROFILE == TVK_PROFILE_MODULAR
#define TVK_MODULAR 1
#else
#error "unknown TVK_PROFILE"
#endif

namespace profile {

#if defined(TVK_NAVAL)
constexpr const char *name = "naval";
constexpr const char *banner = "*** NAVALE without redundancy mode 1 modbus 485 ***\n";
constexpr unsigned char redundantUPS = 0;
#else
#if defined(TVK_STD)
constexpr const char *name = "std";
#else
constexpr const char *name = "modular";
#endif
constexpr const char *banner = "*** Tarvik modbus 485 ***\n";
constexpr unsigned char redundantUPS = 1;
#endif

#if defined(TVK_MODULAR)
constexpr bool modular = true;
constexpr bool fullRecords = false;   // reduced record layout
constexpr bool debugLines = false;    // no Dbg lines, no frame dumps
constexpr int BSPCKEXPIRE = 720;
constexpr int LL_VOLTTH = 139;
constexpr int LN_VOLTTH = 80;
#else
constexpr bool modular = false;
constexpr bool fullRecords = true;
constexpr bool debugLines = true;
constexpr int BSPCKEXPIRE = 120;
constexpr int LL_VOLTTH = 80;
constexpr int LN_VOLTTH = 20;
#endif

#if defined(TVK_STD)
constexpr bool standard = true;
#else
constexpr bool standard = false;
#endif

} // namespace profile

#endif
