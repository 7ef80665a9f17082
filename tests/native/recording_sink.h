#pragma once
// A frame sink that keeps everything the codec hands it, for the native tests and the
// Windows port tests alike (portable: no pseudo-terminals here).
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "link/frame_sink.h"

struct RecordingSink : FrameSink {
  using Bytes = std::vector<uint8_t>;
  std::atomic<bool> respond{false};
  std::mutex mutex;
  std::vector<Bytes> frames;
  std::vector<Bytes> logged;
  std::vector<std::string> failures;

  bool Respond() const override { return respond; }
  void OnFrame(const uint8_t* frame, uint8_t length) override {
    std::lock_guard<std::mutex> hold(mutex);
    frames.emplace_back(frame, frame + length);
  }
  void LogSent(const uint8_t* frame, uint8_t length) override {
    std::lock_guard<std::mutex> hold(mutex);
    logged.emplace_back(frame, frame + length);
  }
  void ShowOpenFailure(const char* message) override { failures.emplace_back(message); }
};
