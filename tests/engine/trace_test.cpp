#include <gtest/gtest.h>

#include <string>

#include "test_support.h"
#include "trace.h"

namespace {

TEST(TraceOut, RecordIsPrefixTextAndCrLf) {
  TraceCapture capture;
  TraceOut(kTraceChannel, kTraceId, "[CWinTransMainProc] WinTransMain start");
  ASSERT_EQ(capture.records.size(), 1u);
  EXPECT_EQ(capture.records[0], "_QTRACE_ID_40000:[CWinTransMainProc] WinTransMain start\r\n");
  EXPECT_EQ(capture.records[0].substr(0, 17), "_QTRACE_ID_40000:");

  TraceOut(kTraceChannel, 7, "[SetCom] Com parameters Baud[%d]", 57600);
  EXPECT_EQ(capture.records[1], "_QTRACE_ID_7:[SetCom] Com parameters Baud[57600]\r\n");
}

TEST(TraceOut, OnlyTheLow16BitsOfTheChannelMaskCount) {
  TraceCapture capture;
  TraceOut(65536, kTraceId, "[X] nothing");
  TraceOut(0, kTraceId, "[X] nothing");
  // A mask with no low bits is refused before the receiver is even asked.
  EXPECT_EQ(capture.listeningAsked, 0);
  EXPECT_EQ(capture.delivered, 0);
  TraceOut(65536 | 128, kTraceId, "[X] low bits set");
  EXPECT_EQ(capture.delivered, 1);
}

TEST(TraceOut, NothingIsFormattedWhenNobodyListens) {
  TraceCapture capture;
  capture.listening = false;
  TraceOut(kTraceChannel, kTraceId, "[X] %s", "text");
  EXPECT_EQ(capture.listeningAsked, 1);
  EXPECT_EQ(capture.delivered, 0);

  SetTraceReceiver(nullptr);  // no receiver at all: nothing happens either
  TraceOut(kTraceChannel, kTraceId, "[X] %s", "text");
  EXPECT_EQ(capture.listeningAsked, 1);
}

// Text that would overflow the 512-byte buffers is cut; the record still ends in CR LF.
TEST(TraceOut, OverlongTextIsCutToFitTheBuffers) {
  struct Case {
    int traceId;
    size_t textLength;
    size_t expectedTextLength;
  };
  // Five-digit identifier: 17-character prefix leaves 492 characters of text in the record
  // buffer. A one-digit identifier leaves 496; the text buffer alone allows 509.
  const Case cases[] = {
      {40000, 100, 100}, {40000, 492, 492}, {40000, 493, 492}, {40000, 2000, 492},
      {7, 496, 496},     {7, 600, 496},
  };
  for (const Case& c : cases) {
    TraceCapture capture;
    std::string text(c.textLength, 'x');
    TraceOut(kTraceChannel, c.traceId, "%s", text.c_str());
    ASSERT_EQ(capture.records.size(), 1u);
    const std::string& r = capture.records[0];
    std::string prefix = "_QTRACE_ID_" + std::to_string(c.traceId) + ":";
    SCOPED_TRACE(c.textLength);
    EXPECT_LE(r.size(), kTraceBufferSize - 1);
    EXPECT_EQ(r, prefix + std::string(c.expectedTextLength, 'x') + "\r\n");
  }
}

}  // namespace
