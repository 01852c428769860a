// examples/stand_in_scale.json on the built-in null-modem cable: the stand-in made
// of triggers on one end answers the window's scale test and weight request sent
// from the other, as the simulated scale does.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "session/device_commands.h"
#include "automation/library.h"
#include "automation/port_automation.h"
#include "engine/owner_calls.h"
#include "engine/serial_port.h"
#include "platform/virtual/simulated_devices.h"

namespace veltra::automation {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The owner's thread: asleep until a worker queues a call or a trigger's time comes.
class OwnerLoop {
 public:
  OwnerLoop() {
    calls.OnCallQueued = [this] {
      {
        std::lock_guard lock(mutex_);
        queued_ = true;
      }
      wake_.notify_one();
    };
  }
  bool RunUntil(const std::function<bool()>& done, const std::function<Clock::time_point()>& next,
                Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done() && Clock::now() < deadline) {
      {
        std::unique_lock lock(mutex_);
        wake_.wait_until(lock, std::min(deadline, next()), [this] { return queued_; });
        queued_ = false;
      }
      calls.ServePending();
    }
    return done();
  }
  engine::TOwnerCallQueue calls;

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool queued_ = false;
};

// A port driven by its automation, as a front end drives it.
struct StandIn {
  StandIn(OwnerLoop& loop, const TLibrary& lib) : port(loop.calls), automation(1) {
    automation.SetTriggers(lib);
    port.OnRxClusterEvent = [this](engine::TObject*) {
      std::string block;
      port.TakeFirstCluster(block);
      Note(automation.Received(block, Clock::now()));
    };
    port.OnWriteDone = [this](engine::TObject*) { automation.WriteDone(Clock::now()); };
  }
  void Note(const std::vector<TTriggerEvent>& events) {
    for (const TTriggerEvent& e : events)
      if (e.Kind == TTriggerEvent::TKind::Mark) marks.push_back(e.Text);
  }
  void Tick() {
    Note(automation.Poll(Clock::now()));
    if (auto bytes = automation.TakeWrite(Clock::now())) port.SendString(*bytes);
  }
  Clock::time_point Next() const {
    return std::min(Clock::now() + 50ms, automation.NextWake().value_or(Clock::time_point::max()));
  }
  engine::TSerialPort port;
  TPortAutomation automation;
  std::vector<std::string> marks;
};

void Open(engine::TSerialPort& port, const char* name) {
  port.SetBaudRate(9600);
  port.SetRTOExtraDelayTime(5);  // a block once the line is quiet for 5 ms
  port.SetCommPort(name);
  port.SetActive(true);
  ASSERT_TRUE(port.Active()) << name;
}

TEST(StandInScale, AnswersThePriceRecordAndTheWeightRequest) {
  const TLibrary lib = LoadLibraryFile(VELTRA_EXAMPLES_DIR "/stand_in_scale.json");
  OwnerLoop loop;
  StandIn scale(loop, lib);
  engine::TSerialPort pos(loop.calls);
  std::string answers;
  pos.OnRxClusterEvent = [&](engine::TObject*) {
    std::string block;
    pos.TakeFirstCluster(block);
    answers += block;
  };
  Open(scale.port, platform::kNullModemPortA);
  Open(pos, platform::kNullModemPortB);
  auto exchange = [&](const std::string& request, const std::string& expected) {
    answers.clear();
    pos.SendString(request);
    const bool got = loop.RunUntil(
        [&] {
          scale.Tick();
          return answers.size() >= expected.size();
        },
        [&] { return scale.Next(); }, 10s);
    EXPECT_TRUE(got) << "answer so far: " << answers;
    EXPECT_EQ(answers, expected);
  };
  exchange(session::kScaleCommand + "\r", "\x06");
  exchange(session::kScaleWeightRequest, "\x02" "02\x1B" "3\x1B" "01250\x1B" "000220\x1B" "000275\x03");
  exchange(std::string("\x04\x02" "07\x1B\x03", 6), "\x15");
  EXPECT_EQ(scale.marks, (std::vector<std::string>{"price record", "weight asked"}));
  EXPECT_EQ(scale.automation.Triggers()->Matches(2), 1u);
  pos.SetActive(false);
  scale.port.SetActive(false);
}

}  // namespace
}  // namespace veltra::automation
