// The PNG of a result, made once from its BMP file on a thread its owner joins at known points:
// when the PNG is ready (its descriptor turns readable in the owner's event loop), when the next
// result comes, and at the end. Whatever serves the PNG is handed the bytes; nothing else makes
// one. Where no thread can be had, the PNG is made at once on the caller's.
#pragma once

#include <cstdint>
#include <future>
#include <memory>
#include <thread>
#include <vector>

class CResultPng {
public:
  using Bytes = std::shared_ptr<const std::vector<std::uint8_t>>;

  CResultPng();
  // Joins the thread.
  ~CResultPng();
  CResultPng(const CResultPng &) = delete;
  CResultPng &operator=(const CResultPng &) = delete;

  // Starts making the PNG of `bmp` (a BMP file), once the PNG of the previous result, if still
  // being made, is done and dropped.
  void Start(Bytes bmp);
  // Readable while a PNG is made and not yet taken by Join(); -1 when no such descriptor could
  // be had, and then Start made the PNG itself.
  int ReadyDescriptor() const { return m_ready; }
  // True once the PNG started last is made.
  bool Ready() const;
  // Waits until the PNG is made, joins the thread and returns the PNG: null when it could not be
  // made, or none was started since the last Join.
  Bytes Join();
  // The PNG started last, for a holder that may wait for it on its own and outlive us; its wait
  // never joins the thread.
  std::shared_future<Bytes> Future() const { return m_future; }

private:
  struct Job;
  static void Make(Job &job);

  int m_ready = -1; // an eventfd
  std::thread m_thread;
  std::shared_future<Bytes> m_future;
};
