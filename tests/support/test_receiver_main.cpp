// corvane-test-receiver: runs the test receiver so that a person can mirror to it on one
// machine. It prints every event, accepts commands on standard input and, at the end (Ctrl-C,
// "quit"), prints what it received. The H.264 and MP3 streams are written to files that
// ffprobe / ffplay can open.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "support/test_receiver.h"

using corvane::test::Channel;
using corvane::test::TestReceiver;
using corvane::test::TestReceiverOptions;

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: corvane-test-receiver [options]\n"
               "  --address A        address to listen on (default 127.0.0.1)\n"
               "  --touch-port P     (default 11101)   --control-port P (default 11102)\n"
               "  --audio-port P     (default 11103)   --video-port P   (default 11104)\n"
               "  --out DIR          folder for received.h264 and received.mp3 (default .)\n"
               "  --mirror-result R  answer to a mirror start: 1 accept, 0 refuse (default 1)\n"
               "  --version TEXT     version answered to the sender (default 1.0.0)\n"
               "  --name TEXT        name answered to the UDP query on port 11105\n"
               "                     (default \"Corvane Test Receiver\")\n"
               "commands on standard input:\n"
               "  on | off | keyframe | fps N | status N | key | heartbeat\n"
               "  silent | talk | pause CH | resume CH | close CH | reset CH | stats | quit\n"
               "  (CH: control, video, audio, touch)\n");
}

bool parseChannel(const std::string& s, Channel* out) {
  for (Channel c : {Channel::Touch, Channel::Control, Channel::Audio, Channel::Video}) {
    if (s == corvane::test::channelName(c)) {
      *out = c;
      return true;
    }
  }
  return false;
}

std::mutex g_print;

void say(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_print);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void printStats(const TestReceiver& r) {
  const auto s = r.snapshot();
  std::ostringstream o;
  for (Channel c : {Channel::Control, Channel::Video, Channel::Audio, Channel::Touch}) {
    const auto& st = s[c];
    o << corvane::test::channelName(c) << ": accepted " << st.accepted << ", open " << st.open
      << ", bytes " << st.bytesIn << "\n";
  }
  o << "control packets: " << s.control.size() << " (heartbeats answered " << s.heartbeatsAnswered
    << ")\n";
  o << "sender name: \"" << s.senderName << "\", PIN: " << s.pinCode.value_or("-") << "\n";
  auto media = [&](const char* name, const auto& list) {
    o << name << " packets: " << list.size();
    if (!list.empty())
      o << ", timestamps " << list.front().timestamp << " .. " << list.back().timestamp;
    o << "\n";
  };
  media("video", s.video);
  media("audio", s.audio);
  for (const auto& e : s.errors) o << "error: " << e << "\n";
  say(o.str());
}

void command(TestReceiver& r, const std::string& line) {
  std::istringstream in(line);
  std::string cmd, arg;
  in >> cmd >> arg;
  Channel ch;
  bool ok = true;
  if (cmd.empty()) return;
  if (cmd == "on")
    ok = r.requestMirrorOn();
  else if (cmd == "off")
    ok = r.requestMirrorOff();
  else if (cmd == "keyframe")
    ok = r.requestKeyFrame();
  else if (cmd == "fps")
    ok = r.requestFrameRate(static_cast<int8_t>(std::atoi(arg.c_str())));
  else if (cmd == "status")
    ok = r.sendDeviceStatus(static_cast<uint8_t>(std::atoi(arg.c_str())));
  else if (cmd == "key")
    ok = r.sendKeyStatus();
  else if (cmd == "heartbeat")
    ok = r.sendHeartbeat();
  else if (cmd == "silent")
    r.setSilent(true);
  else if (cmd == "talk")
    r.setSilent(false);
  else if (cmd == "stats")
    printStats(r);
  else if (cmd == "quit")
    kill(getpid(), SIGTERM);
  else if ((cmd == "pause" || cmd == "resume" || cmd == "close" || cmd == "reset") &&
           parseChannel(arg, &ch)) {
    if (cmd == "pause" || cmd == "resume")
      r.setReading(ch, cmd == "resume");
    else
      ok = r.closeConnection(ch, cmd == "reset");
  } else {
    say("unknown command: " + line);
    return;
  }
  if (!ok) say("no connection for: " + line);
}

}  // namespace

int main(int argc, char** argv) {
  TestReceiverOptions options;
  std::string outDir = ".";
  std::string version;
  int mirrorResult = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        usage();
        std::exit(2);
      }
      return argv[++i];
    };
    auto port = [&]() -> uint16_t {
      const long p = std::strtol(value().c_str(), nullptr, 10);
      if (p < 0 || p > 65535) {
        usage();
        std::exit(2);
      }
      return static_cast<uint16_t>(p);
    };
    if (a == "--address")
      options.address = value();
    else if (a == "--touch-port")
      options.ports.touch = port();
    else if (a == "--control-port")
      options.ports.control = port();
    else if (a == "--audio-port")
      options.ports.audio = port();
    else if (a == "--video-port")
      options.ports.video = port();
    else if (a == "--out")
      outDir = value();
    else if (a == "--mirror-result")
      mirrorResult = std::atoi(value().c_str());
    else if (a == "--version")
      version = value();
    else if (a == "--name")
      options.name = value();
    else {
      usage();
      return a == "--help" || a == "-h" ? 0 : 2;
    }
  }
  options.videoFile = outDir + "/received.h264";
  options.audioFile = outDir + "/received.mp3";
  options.onEvent = say;

  // Signals are taken by sigwait below, in no other thread.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  TestReceiver receiver(options);
  receiver.setMirrorStartResult(static_cast<uint8_t>(mirrorResult));
  if (!version.empty()) receiver.setVersion(version);
  std::string error;
  if (!receiver.start(&error)) {
    std::fprintf(stderr, "corvane-test-receiver: %s\n", error.c_str());
    return 1;
  }
  const auto p = receiver.ports();
  say("listening on " + options.address + ": touch " + std::to_string(p.touch) + ", control " +
      std::to_string(p.control) + ", audio " + std::to_string(p.audio) + ", video " +
      std::to_string(p.video) + ", query (UDP) " + std::to_string(p.query) + " as \"" +
      options.name + "\"; writing " + options.videoFile + " and " + options.audioFile);

  std::thread([&receiver] {
    std::string line;
    while (std::getline(std::cin, line)) command(receiver, line);
  }).detach();

  int sig = 0;
  sigwait(&signals, &sig);
  receiver.stop();
  printStats(receiver);
  std::fflush(stdout);
  _exit(0);  // the input thread may still be blocked reading
}
