#include "clipboard/qt/result_png.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <new>
#include <system_error>
#include <utility>

#include "codec/picture.h"

struct CResultPng::Job {
  Bytes bmp;
  std::promise<Bytes> promise;
  int ready;
};

CResultPng::CResultPng() : m_ready(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CResultPng::~CResultPng() {
  Join();
  if (m_ready >= 0)
    close(m_ready);
}

void CResultPng::Make(Job &job) {
  Bytes png;
  try {
    std::vector<std::uint8_t> bytes = PngFromBmpFile(job.bmp->data(), job.bmp->size());
    if (!bytes.empty())
      png = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
  } catch (const std::bad_alloc &) {
    png = nullptr;
  }
  job.promise.set_value(std::move(png));
  if (job.ready >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(job.ready, &one, sizeof one);
  }
}

void CResultPng::Start(Bytes bmp) {
  Join();
  auto job = std::make_shared<Job>();
  job->bmp = std::move(bmp);
  job->ready = m_ready;
  m_future = job->promise.get_future().share();
  if (m_ready >= 0) {
    try {
      m_thread = std::thread([job] { Make(*job); });
      return;
    } catch (const std::system_error &) {
      // No thread to be had (a limit on threads or memory): made here instead.
    }
  }
  Make(*job);
}

bool CResultPng::Ready() const {
  return m_future.valid() &&
         m_future.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

CResultPng::Bytes CResultPng::Join() {
  if (m_thread.joinable())
    m_thread.join();
  if (m_ready >= 0) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t taken = read(m_ready, &count, sizeof count);
  }
  if (!m_future.valid())
    return nullptr;
  Bytes png = m_future.get();
  m_future = {};
  return png;
}
