// Reading CLIPBOARD: TARGETS, then the one target chosen, whole or in INCR pieces, under one
// deadline and a cap on the bytes.
#include <algorithm>
#include <cstring>
#include <limits>

#include "clipboard/x11/x11_internal.h"
#include "posix/huge_pages.h"

using x11::Reply;

namespace {

// Atom names are asked for this many at a time, the deadline checked before each batch.
constexpr std::size_t NameBatch = 256;
// The first reservation for INCR pieces follows the owner's size hint, but only this far: the
// hint is the owner's word.
constexpr std::size_t FirstReservationLimit = std::size_t{64} << 20;

} // namespace

// INCR pieces gathered in memory mapped for them: 2 MB-aligned and advised for huge pages, since
// on first touch a few large pages cost far less than thousands of small ones. The block grows by
// remapping, which moves no bytes, and never past the read's cap.
struct CX11Selection::Read::Block {
  Block() = default;
  Block(const Block &) = delete;
  Block &operator=(const Block &) = delete;
  ~Block() { UnmapHugePages(data, capacity); }

  bool Reserve(std::size_t wanted) {
    if (wanted <= capacity)
      return true;
    std::size_t mapped = capacity;
    std::uint8_t *grown =
        data == nullptr ? MapHugePages(wanted, mapped) : GrowHugePages(data, mapped, wanted);
    if (grown == nullptr)
      return false;
    data = grown;
    capacity = mapped;
    return true;
  }
  // False when `cap` would be passed or there is no memory.
  bool Append(const void *bytes, std::size_t count, std::size_t cap, bool &tooLarge) {
    tooLarge = count > cap - size;
    if (tooLarge)
      return false;
    if (size + count > capacity && !Reserve(std::max(size + count, std::min(cap, 2 * capacity))))
      return false;
    if (count > 0)
      std::memcpy(data + size, bytes, count);
    size += count;
    return true;
  }

  std::uint8_t *data = nullptr;
  std::size_t size = 0;
  std::size_t capacity = 0;
};

CX11Selection::Read::Read() = default;
CX11Selection::Read::~Read() = default;

void CX11Selection::StartRead(TargetChooser choose, Clock::duration timeout, std::size_t byteCap,
                              std::function<void()> finished) {
  CancelRead();
  Read &read = *m_pRead;
  read.block.reset();
  read.target.clear();
  read.choose = std::move(choose);
  read.finished = std::move(finished);
  read.byteCap = byteCap;
  read.deadline = Clock::now() + timeout;
  read.status = X11ReadStatus::Running;
  if (!IsOpen()) {
    FinishRead(X11ReadStatus::Failed);
    return;
  }
  read.step = Read::Step::Targets;
  read.requested = m_atoms.targets;
  // A property left over from a read given up midway must not pass for the new answer.
  xcb_delete_property(m_c, m_window, m_atoms.readProperty);
  xcb_convert_selection(m_c, m_window, m_atoms.clipboard, m_atoms.targets, m_atoms.readProperty,
                        XCB_CURRENT_TIME);
  xcb_flush(m_c);
}

void CX11Selection::CancelRead() {
  Read &read = *m_pRead;
  if (read.status != X11ReadStatus::Running && !read.finishedPending)
    return;
  read.finished = nullptr;
  if (read.status == X11ReadStatus::Running)
    FinishRead(X11ReadStatus::Cancelled);
  read.finishedPending = false;
}

X11ReadStatus CX11Selection::ReadStatus() const { return m_pRead->status; }

const std::string &CX11Selection::ReadTarget() const { return m_pRead->target; }

const std::uint8_t *CX11Selection::ReadData() const {
  return m_pRead->status == X11ReadStatus::Done && m_pRead->block ? m_pRead->block->data : nullptr;
}

std::size_t CX11Selection::ReadSize() const {
  return m_pRead->status == X11ReadStatus::Done && m_pRead->block ? m_pRead->block->size : 0;
}

void CX11Selection::ReleaseReadData() { m_pRead->block.reset(); }

void CX11Selection::FinishRead(X11ReadStatus status) {
  Read &read = *m_pRead;
  read.step = Read::Step::None;
  read.status = status;
  read.choose = nullptr;
  if (status != X11ReadStatus::Done)
    read.block.reset();
  if (IsOpen())
    xcb_delete_property(m_c, m_window, m_atoms.readProperty);
  read.finishedPending = true;
}

void CX11Selection::RunReadFinished() {
  Read &read = *m_pRead;
  if (!read.finishedPending)
    return;
  read.finishedPending = false;
  if (read.finished) {
    const std::function<void()> finished = std::move(read.finished);
    read.finished = nullptr;
    finished();
  }
}

void CX11Selection::OnReadNotify(const xcb_selection_notify_event_t &notify) {
  const Read &read = *m_pRead;
  if ((read.step != Read::Step::Targets && read.step != Read::Step::Data) ||
      notify.target != read.requested)
    return;
  if (Clock::now() >= read.deadline)
    return FinishRead(X11ReadStatus::TimedOut);
  if (notify.property == XCB_ATOM_NONE)
    return FinishRead(X11ReadStatus::NoOwner);
  TakeProperty(true);
}

void CX11Selection::OnReadPiece() {
  if (Clock::now() >= m_pRead->deadline)
    return FinishRead(X11ReadStatus::TimedOut);
  TakeProperty(false);
}

// Takes the answer's property and deletes it; deleting is also what asks an INCR owner for its
// next piece. False when the read ended here.
bool CX11Selection::TakeProperty(bool first) {
  Read &read = *m_pRead;
  const bool targets = read.step == Read::Step::Targets || read.step == Read::Step::TargetsIncr;
  const std::size_t cap = targets ? x11::MaxTargets * sizeof(xcb_atom_t) : read.byteCap;
  // One byte beyond the cap tells a value that passes it from one that meets it.
  const std::uint32_t longs = static_cast<std::uint32_t>(
      std::min<std::size_t>(cap / 4 + 1, std::numeric_limits<std::uint32_t>::max() / 4));
  const Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      m_c,
      xcb_get_property(m_c, 1, m_window, m_atoms.readProperty, XCB_GET_PROPERTY_TYPE_ANY, 0, longs),
      nullptr));
  if (!reply) {
    FinishRead(X11ReadStatus::Failed);
    return false;
  }
  if (reply->bytes_after > 0) {
    FinishRead(X11ReadStatus::TooLarge);
    return false;
  }
  // An owner sets the property before it says so: a notice without one is a late answer to a
  // read given up before this one.
  if (first && reply->type == XCB_ATOM_NONE)
    return true;
  const auto length =
      static_cast<std::size_t>(std::max(0, xcb_get_property_value_length(reply.get())));
  if (!read.block)
    read.block = std::make_unique<Read::Block>();
  if (first && reply->type == m_atoms.incr) {
    // Its value is a lower bound of the size.
    if (length >= 4) {
      std::uint32_t hint = 0;
      std::memcpy(&hint, xcb_get_property_value(reply.get()), 4);
      if (!read.block->Reserve(std::min({std::size_t{hint}, cap, FirstReservationLimit}))) {
        FinishRead(X11ReadStatus::Failed);
        return false;
      }
    }
    read.step = targets ? Read::Step::TargetsIncr : Read::Step::DataIncr;
    xcb_flush(m_c);
    return true;
  }
  if (targets && reply->format != 32 && length > 0) {
    FinishRead(X11ReadStatus::NoPicture);
    return false;
  }
  bool tooLarge = false;
  if (!read.block->Append(xcb_get_property_value(reply.get()), length, cap, tooLarge)) {
    FinishRead(tooLarge ? X11ReadStatus::TooLarge : X11ReadStatus::Failed);
    return false;
  }
  // A whole answer, or the empty piece that ends an INCR one.
  if (first || length == 0) {
    if (targets)
      ChooseTarget();
    else
      FinishRead(X11ReadStatus::Done);
  }
  return true;
}

void CX11Selection::ChooseTarget() {
  Read &read = *m_pRead;
  std::vector<xcb_atom_t> offered(read.block->size / sizeof(xcb_atom_t));
  if (!offered.empty())
    std::memcpy(offered.data(), read.block->data, offered.size() * sizeof(xcb_atom_t));
  read.block.reset();
  // The names, a batch at a time; names already known are not asked again.
  std::vector<xcb_atom_t> unknown;
  for (const xcb_atom_t atom : offered)
    if (!m_atomNames.contains(atom) &&
        std::find(unknown.begin(), unknown.end(), atom) == unknown.end())
      unknown.push_back(atom);
  for (std::size_t first = 0; first < unknown.size(); first += NameBatch) {
    if (Clock::now() >= read.deadline)
      return FinishRead(X11ReadStatus::TimedOut);
    const std::size_t count = std::min(NameBatch, unknown.size() - first);
    std::vector<xcb_get_atom_name_cookie_t> cookies(count);
    for (std::size_t i = 0; i < count; ++i)
      cookies[i] = xcb_get_atom_name(m_c, unknown[first + i]);
    for (std::size_t i = 0; i < count; ++i) {
      const Reply<xcb_get_atom_name_reply_t> name(
          xcb_get_atom_name_reply(m_c, cookies[i], nullptr));
      m_atomNames[unknown[first + i]] =
          name ? std::string(xcb_get_atom_name_name(name.get()),
                             static_cast<std::size_t>(xcb_get_atom_name_name_length(name.get())))
               : std::string();
    }
  }
  std::vector<std::string> names;
  names.reserve(offered.size());
  for (const xcb_atom_t atom : offered)
    names.push_back(m_atomNames[atom]);
  const std::string chosen = read.choose ? read.choose(names) : std::string();
  const auto found = std::find(names.begin(), names.end(), chosen);
  if (chosen.empty() || found == names.end())
    return FinishRead(X11ReadStatus::NoPicture);
  read.target = chosen;
  read.requested = offered[static_cast<std::size_t>(found - names.begin())];
  read.step = Read::Step::Data;
  xcb_convert_selection(m_c, m_window, m_atoms.clipboard, read.requested, m_atoms.readProperty,
                        XCB_CURRENT_TIME);
  xcb_flush(m_c);
}
