#include "Globals.h"
#include "Log.h"
#include "Profile.h"

int main(int, char **)
{
    tvk_raw("%s", profile::banner);
    return 0;
}
