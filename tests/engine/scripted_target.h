// A target for the simulated link that answers from a script: one queued reply per command frame
// (ESC ... CR) and per greeting byte 05, silence once a queue is empty.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "sim_link.h"
#include "win_trans.h"

class ScriptedTarget : public ISimTarget {
 public:
  struct Reply {
    std::string bytes;
    uint32_t newBaud = 0;   // non-zero: once `bytes` left, switch to this speed and send `echo`
    std::string echo;
  };

  explicit ScriptedTarget(SimLink& link) : link_(link) { link_.AttachTarget(this); }
  ~ScriptedTarget() override { link_.AttachTarget(nullptr); }

  void OnByte(uint8_t byte) override {
    if (!inFrame_) {
      if (byte == kEnq) {
        ++greetings;
        if (!greetingReplies.empty()) {
          Send(greetingReplies.front());
          greetingReplies.pop_front();
        } else if (!alwaysGreet.empty()) {
          link_.TargetSend(alwaysGreet);
        }
      } else if (byte == kEsc) {
        inFrame_ = true;
        frame_.assign(1, static_cast<char>(byte));
      } else {
        stray.push_back(static_cast<char>(byte));
      }
      return;
    }
    frame_.push_back(static_cast<char>(byte));
    if (byte == kCr) {
      inFrame_ = false;
      commands.push_back(frame_);
      if (!commandReplies.empty()) {
        Send(commandReplies.front());
        commandReplies.pop_front();
      }
    }
  }

  void OnTimer(uint64_t) override {
    link_.SetTargetBaud(pendingBaud_);
    link_.TargetSend(pendingEcho_);
  }

  std::deque<Reply> commandReplies;
  std::deque<Reply> greetingReplies;
  std::string alwaysGreet;           // answer to every greeting once greetingReplies ran out
  std::vector<std::string> commands;  // every command frame the host sent, ESC to CR
  int greetings = 0;
  std::string stray;

 private:
  void Send(const Reply& reply) {
    link_.TargetSend(reply.bytes);
    if (reply.newBaud != 0) {
      pendingBaud_ = reply.newBaud;
      pendingEcho_ = reply.echo;
      link_.ScheduleTarget(link_.TargetIdleAtUs() + 1000, 1);
    }
  }

  SimLink& link_;
  bool inFrame_ = false;
  std::string frame_;
  uint32_t pendingBaud_ = 0;
  std::string pendingEcho_;
};

// ESC + body + frame sum over the body + CR LF.
inline std::string Answer(const std::string& body) {
  char sum[2];
  CWinTrans::MakeSum(sum, reinterpret_cast<const uint8_t*>(body.data()), static_cast<int>(body.size()));
  return "\x1b" + body + std::string(sum, 2) + "\r\n";
}
