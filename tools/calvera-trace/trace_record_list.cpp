#include "trace_record_list.h"

#include <cstdio>

std::string CTraceRecordList::TimeOfDay(const ReceiveTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", t.hour, t.minute, t.second, t.millisecond);
  return text;
}

std::string CTraceRecordList::Date(const ReceiveTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", t.year, t.month, t.day);
  return text;
}

std::string CTraceRecordList::TrimLineBreak(const std::string& record) {
  size_t end = record.size();
  while (end > 0 && (record[end - 1] == '\n' || record[end - 1] == '\r')) --end;
  return record.substr(0, end);
}

std::string CTraceRecordList::Add(const ReceiveTime& time, const std::string& record) {
  lines_.push_back({time, TrimLineBreak(record)});
  return TimeOfDay(time) + "  " + lines_.back().text;
}

std::string CTraceRecordList::AddLost(const ReceiveTime& time, const char* why) {
  ++lost_;
  lines_.push_back({time, std::string(kLostRecordPrefix) + why + ")"});
  return TimeOfDay(time) + "  " + lines_.back().text;
}

void CTraceRecordList::Clear() {
  lines_.clear();
  lost_ = 0;
}

std::string CTraceRecordList::FileText() const {
  std::string text;
  for (const Line& line : lines_) {
    text += Date(line.time);
    text += ' ';
    text += TimeOfDay(line.time);
    text += '\t';
    text += line.text;
    text += "\r\n";
  }
  return text;
}
