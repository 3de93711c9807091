// The word size of the machine the tests run on, next to what the records need: the
// packed records keep their sizes (records_test) and their times stay signed 32-bit
// values whether time_t is 32 bits wide (the card's armhf) or 64 (a development PC).
#include "Types.h"
#include "VirtualUPSTypes.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <ctime>
#include <type_traits>

TEST(TargetWord, RecordTimesAreSigned32BitOnEveryTarget)
{
    static_assert(std::is_signed<mytime_t>::value, "record times are signed");
    EXPECT_EQ(sizeof(mytime_t), 4u);
    EXPECT_EQ(sizeof(identification_t::timestamp), 4u);
    RecordProperty("sizeof_time_t", int(sizeof(time_t)));
    RecordProperty("sizeof_long", int(sizeof(long)));
    RecordProperty("sizeof_pointer", int(sizeof(void *)));
#if defined(__arm__)
    // The card: 32-bit ARM, with the 32-bit time_t of Debian's armhf.
    EXPECT_EQ(sizeof(void *), 4u);
    EXPECT_EQ(sizeof(long), 4u);
    EXPECT_EQ(sizeof(time_t), 4u);
#endif
    // Every time the card can have fits a record time and comes back unchanged.
    const time_t times[] = {0, 1, 1700000000, time_t(INT32_MAX)};
    for (time_t t : times) {
        identification_t id{};
        id.timestamp = mytime_t(t);
        EXPECT_EQ(time_t(id.timestamp), t);
    }
    identification_t id{};
    id.timestamp = INT32_MIN;
    EXPECT_LT(int64_t(id.timestamp), 0);   // read back as a signed value, not 2^31
}
