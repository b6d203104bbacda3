// The trace viewer's record list: what the list shows and what Save writes.
#include <gtest/gtest.h>

#include "trace_record_list.h"

namespace {

ReceiveTime At(int hour, int minute, int second, int ms) {
  ReceiveTime t;
  t.year = 2026;
  t.month = 3;
  t.day = 7;
  t.hour = hour;
  t.minute = minute;
  t.second = second;
  t.millisecond = ms;
  return t;
}

TEST(TraceRecordList, ShowsAndSavesRecordsInArrivalOrderWithTheirTimes) {
  CTraceRecordList list;
  EXPECT_EQ(list.Add(At(9, 5, 3, 7), "_QTRACE_ID_40000:[CWinTransMainProc] WinTransMain start\r\n"),
            "09:05:03.007  _QTRACE_ID_40000:[CWinTransMainProc] WinTransMain start");
  list.Add(At(23, 59, 59, 999), "_QTRACE_ID_40000:[GoHandshake] Cmd[5a]\r\n");
  EXPECT_EQ(list.Count(), 2u);
  EXPECT_EQ(list.FileText(),
            "2026-03-07 09:05:03.007\t_QTRACE_ID_40000:[CWinTransMainProc] WinTransMain start\r\n"
            "2026-03-07 23:59:59.999\t_QTRACE_ID_40000:[GoHandshake] Cmd[5a]\r\n");
}

TEST(TraceRecordList, OnlyTheTrailingLineBreakIsDropped) {
  struct Case {
    const char* record;
    const char* kept;
  } cases[] = {
      {"a\r\n", "a"}, {"a", "a"}, {"a\rb\r\n", "a\rb"}, {"\r\n", ""}, {"", ""}, {"x\n\n", "x"},
  };
  for (const Case& c : cases) EXPECT_EQ(CTraceRecordList::TrimLineBreak(c.record), c.kept) << c.record;
}

TEST(TraceRecordList, LostRecordsAreMarkedCountedAndClearedWithTheList) {
  CTraceRecordList list;
  list.Add(At(1, 2, 3, 4), "r1\r\n");
  EXPECT_EQ(list.AddLost(At(1, 2, 3, 5), "too long"), "01:02:03.005  (record lost: too long)");
  EXPECT_EQ(list.LostCount(), 1u);
  EXPECT_NE(list.FileText().find("\t(record lost: too long)\r\n"), std::string::npos);
  list.Clear();
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_EQ(list.LostCount(), 0u);
  EXPECT_EQ(list.FileText(), "");
}

}  // namespace
