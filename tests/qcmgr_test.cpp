// Query/command element: buffers and their ownership, and the error-count rules
// that decide when a polled node is lost.
#include "QCMgr.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using tvktest::FakeClock;
using tvktest::LogCapture;

namespace {

// A small stand-in frame: STX, Src, Dest, MainCmd, SubCmd, parameters, sum, ETX.
constexpr uint16 OVERHEAD = 7;

uint16 testBuild(pckStruct &q, uint8 *&frame)
{
    const uint16 len = uint16(q.ParamLen + OVERHEAD);
    frame = new uint8[len];
    frame[0] = 0x02;
    frame[1] = q.Src;
    frame[2] = q.Dest;
    frame[3] = q.MainCmd;
    frame[4] = q.SubCmd;
    if (q.ParamLen)
        memcpy(frame + 5, q.pParam, q.ParamLen);
    uint8 sum = 0;
    for (uint16 i = 0; i < len - 2; ++i)
        sum = uint8(sum + frame[i]);
    frame[len - 2] = sum;
    frame[len - 1] = 0x03;
    return len;
}

// A codec that cannot build the frame.
uint16 failingBuild(pckStruct &, uint8 *&frame)
{
    frame = nullptr;
    return 0;
}

// A codec that returns a frame shorter than the parameters it was given.
uint16 shortBuild(pckStruct &, uint8 *&frame)
{
    frame = new uint8[2]{0x02, 0x03};
    return 2;
}

pckStruct desc(uint8 dest, char mainCmd, char subCmd, std::vector<uint8> &params)
{
    pckStruct q;
    q.Src = 0x20;
    q.Dest = dest;
    q.MainCmd = uint8(mainCmd);
    q.SubCmd = uint8(subCmd);
    q.pParam = params.empty() ? nullptr : params.data();
    q.ParamLen = uint16(params.size());
    return q;
}

} // namespace

TEST(QCMgr, BuildsFrameAndSizesReply)
{
    struct Case {
        std::vector<uint8> params;
        uint16 replyDataLen;
    } cases[] = {{{}, 20}, {{'0', '0', '0'}, 0}, {std::vector<uint8>(16, '0'), 128}};
    for (auto &c : cases) {
        std::vector<uint8> params = c.params;
        pckStruct q = desc('1', 'R', 'X', params);
        QCMgr e(q, testBuild, c.replyDataLen);
        SCOPED_TRACE(params.size());

        EXPECT_EQ(e.QC.Src, 0x20);
        EXPECT_EQ(e.QC.Dest, '1');
        EXPECT_EQ(e.QC.MainCmd, 'R');
        EXPECT_EQ(e.QC.SubCmd, 'X');
        EXPECT_EQ(e.QC.ParamLen, params.size());
        if (params.empty()) {
            EXPECT_EQ(e.QC.pParam, nullptr);
        } else {
            ASSERT_NE(e.QC.pParam, nullptr);
            EXPECT_NE(e.QC.pParam, params.data());   // a private copy
            EXPECT_EQ(0, memcmp(e.QC.pParam, params.data(), params.size()));
        }
        ASSERT_TRUE(e.hasQuery());
        EXPECT_EQ(e.buildQueryLen, params.size() + OVERHEAD);
        EXPECT_EQ(e.pckQuery[2], '1');
        EXPECT_EQ(e.pckQuery[e.buildQueryLen - 1], 0x03);
        // Same framing overhead as the query, reply data in place of the parameters.
        EXPECT_EQ(e.expectedReplyLen, c.replyDataLen + OVERHEAD);
        ASSERT_NE(e.pckReply, nullptr);
        EXPECT_EQ(std::vector<uint8>(e.pckReply, e.pckReply + e.expectedReplyLen),
                  std::vector<uint8>(e.expectedReplyLen, 0));
        EXPECT_EQ(e.pCommStatus, nullptr);

        // The element does not depend on the caller's buffer afterwards.
        if (!params.empty()) {
            params[0] = 'X';
            EXPECT_EQ(e.QC.pParam[0], c.params[0]);
        }
    }
}

TEST(QCMgr, CopyOwnsItsBuffers)
{
    std::vector<uint8> params = {'1', '2', '3'};
    pckStruct q = desc('1', 'T', 'B', params);
    commStatus_t st{};
    auto *orig = new QCMgr(q, testBuild, 4);
    orig->pCommStatus = &st;
    orig->pckReply[0] = 0xAA;   // a reply already received is copied too

    QCMgr copy(*orig);
    EXPECT_NE(copy.QC.pParam, orig->QC.pParam);
    EXPECT_NE(copy.pckQuery, orig->pckQuery);
    EXPECT_NE(copy.pckReply, orig->pckReply);
    ASSERT_EQ(copy.QC.ParamLen, 3);
    EXPECT_EQ(0, memcmp(copy.QC.pParam, orig->QC.pParam, 3));
    ASSERT_EQ(copy.buildQueryLen, orig->buildQueryLen);
    EXPECT_EQ(0, memcmp(copy.pckQuery, orig->pckQuery, copy.buildQueryLen));
    ASSERT_EQ(copy.expectedReplyLen, orig->expectedReplyLen);
    EXPECT_EQ(0, memcmp(copy.pckReply, orig->pckReply, copy.expectedReplyLen));
    EXPECT_EQ(copy.pCommStatus, &st);

    // The copy survives the original (the sanitizer build catches any sharing).
    std::vector<uint8> query(orig->pckQuery, orig->pckQuery + orig->buildQueryLen);
    delete orig;
    EXPECT_EQ(std::vector<uint8>(copy.pckQuery, copy.pckQuery + copy.buildQueryLen), query);
    EXPECT_EQ(copy.pckReply[0], 0xAA);
}

TEST(QCMgr, ScratchElement)
{
    QCMgr s;
    EXPECT_EQ(s.QC.Src, 0);
    EXPECT_EQ(s.QC.Dest, 0);
    EXPECT_EQ(s.QC.MainCmd, 0);
    EXPECT_EQ(s.QC.SubCmd, 0);
    ASSERT_EQ(s.QC.ParamLen, 500);
    ASSERT_NE(s.QC.pParam, nullptr);
    EXPECT_EQ(std::vector<uint8>(s.QC.pParam, s.QC.pParam + 500), std::vector<uint8>(500, 0));
    ASSERT_EQ(s.buildQueryLen, 500);
    EXPECT_EQ(std::vector<uint8>(s.pckQuery, s.pckQuery + 500), std::vector<uint8>(500, 0));
    EXPECT_EQ(s.expectedReplyLen, 0);
    EXPECT_EQ(s.pckReply, nullptr);
    EXPECT_EQ(s.pCommStatus, nullptr);

    QCMgr c(s);   // a copy of a scratch element is a scratch element
    EXPECT_EQ(c.buildQueryLen, 500);
    EXPECT_EQ(c.QC.ParamLen, 500);
    EXPECT_EQ(c.pckReply, nullptr);
}

TEST(QCMgr, CodecWithoutFrameLeavesNothingToSend)
{
    std::vector<uint8> params = {1, 2, 3, 4};
    pckStruct q = desc('1', 'S', 'T', params);
    for (QCBuildQueryFn fn : {failingBuild, shortBuild}) {
        QCMgr e(q, fn, 20);
        EXPECT_FALSE(e.hasQuery());
        EXPECT_EQ(e.pckQuery, nullptr);
        EXPECT_EQ(e.buildQueryLen, 0);
        // No reply buffer from a negative framing overhead.
        EXPECT_EQ(e.expectedReplyLen, 0);
        EXPECT_EQ(e.pckReply, nullptr);
        ASSERT_NE(e.QC.pParam, nullptr);   // the descriptor is still complete
        EXPECT_EQ(e.QC.pParam[3], 4);
    }
}

TEST(QCMgr, DestroyingElementWithoutParameterCopy)
{
    std::vector<uint8> params = {7, 7};
    pckStruct q = desc('1', 'S', 'T', params);
    LogCapture cap;
    {
        // The state a failed parameter copy leaves behind: a length, no bytes.
        QCMgr e(q, testBuild, 0);
        delete[] e.QC.pParam;
        e.QC.pParam = nullptr;
        QCMgr c(e);   // copying it neither crashes nor invents a buffer
        EXPECT_EQ(c.QC.pParam, nullptr);
        EXPECT_EQ(c.QC.ParamLen, 2);
    }
    EXPECT_EQ(cap.count(" Err (~QCMgr): freeError pParam\n"), 2);
}

// The node counters through a sequence of replies, from a clean state
// (lastPckGood set, weight 0), with the limit of both buses. After a failure the
// test does what the bus threads do: a node whose weight reached the limit is lost.
TEST(QCMgr, ErrorWeightSequence)
{
    FakeClock clk;
    commStatus_t st{};
    st.active = true;
    st.lastPckGood = mytime_t(clk.now());
    st.isGood = true;

    enum Ev { Fail, Good };
    struct Step {
        int64_t advanceSec;   // before the event
        Ev ev;
        int32 weight;
        bool good;
    } steps[] = {
        {0, Fail, 3, true},    // one failure after good exchanges
        {1, Fail, 6, false},   // a second one in a row: lost
        {1, Good, 5, true},    // first good reply: answers again, weight -1
        {10, Good, 5, true},   // within 30 s: weight unchanged
        {20, Good, 5, true},   // exactly 30 s later: still unchanged
        {1, Good, 4, true},    // more than 30 s: -1
        {0, Fail, 5, true},    // 4 after a good exchange: limit - 1, not 7
        {0, Fail, 6, false},   // then lost again
        {0, Fail, 6, false},   // and capped at the limit
    };
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
        const Step &s = steps[i];
        SCOPED_TRACE(i);
        clk.advanceSec(s.advanceSec);
        if (s.ev == Fail) {
            QCMgr::incErrorPck(&st, MAXPCKERROR);
            EXPECT_EQ(st.lastPckGood, 0);
            if (st.errorPck >= MAXPCKERROR) {
                st.isGood = false;
                ++st.errorCnt;
            }
        } else {
            QCMgr::decErrorPck(&st);
        }
        EXPECT_EQ(st.errorPck, s.weight);
        EXPECT_EQ(st.isGood, s.good);
    }
    EXPECT_EQ(st.errorCnt, 3);
    EXPECT_TRUE(st.active);
}

TEST(QCMgr, GoodReplyEdges)
{
    FakeClock clk;
    commStatus_t st{};
    // The weight never goes below 0; isGood returns at the first good reply.
    st.lastPckGood = 0;
    QCMgr::decErrorPck(&st);
    EXPECT_EQ(st.errorPck, 0);
    EXPECT_TRUE(st.isGood);
    EXPECT_EQ(st.lastPckGood, mytime_t(clk.now()));

    // A clock set back behind the last good reply does not freeze the weight.
    st.errorPck = 4;
    st.lastPckGood = mytime_t(clk.now() + 3600);
    QCMgr::decErrorPck(&st);
    EXPECT_EQ(st.errorPck, 3);
    EXPECT_EQ(st.lastPckGood, mytime_t(clk.now()));

    // Failures in a row from 0: 3, then 6.
    commStatus_t f{};
    QCMgr::incErrorPck(&f, MAXPCKERROR);
    EXPECT_EQ(f.errorPck, 3);
    QCMgr::incErrorPck(&f, MAXPCKERROR);
    EXPECT_EQ(f.errorPck, 6);

    // Without counters (a query that carries none) nothing happens.
    QCMgr::decErrorPck(nullptr);
    QCMgr::incErrorPck(nullptr, MAXPCKERROR);
}
