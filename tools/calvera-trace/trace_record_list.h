// The records a trace viewer has received, each with the local time it arrived. Portable: the
// window only adds, clears and shows; saving and the counts live here.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct ReceiveTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

class CTraceRecordList {
 public:
  // `record` as the atom held it: "_QTRACE_ID_<id>:" + text + CR LF; the line break is dropped.
  // Returns the line shown in the list ("HH:MM:SS.mmm  record").
  std::string Add(const ReceiveTime& time, const std::string& record);
  // A message 1025 without a readable atom (a record too long for the atom table, or an atom that
  // could not be read): kept as a marked line so that a gap in the trace is visible.
  std::string AddLost(const ReceiveTime& time, const char* why);
  void Clear();

  size_t Count() const { return lines_.size(); }
  size_t LostCount() const { return lost_; }
  // The file text: one line per record, "YYYY-MM-DD HH:MM:SS.mmm<TAB>record", CR LF after each.
  std::string FileText() const;

  static std::string TimeOfDay(const ReceiveTime& time);  // "HH:MM:SS.mmm"
  static std::string Date(const ReceiveTime& time);       // "YYYY-MM-DD"
  static std::string TrimLineBreak(const std::string& record);

 private:
  struct Line {
    ReceiveTime time;
    std::string text;
  };
  std::vector<Line> lines_;
  size_t lost_ = 0;
};

constexpr char kLostRecordPrefix[] = "(record lost: ";
