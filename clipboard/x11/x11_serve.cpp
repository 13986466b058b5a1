// Serving CLIPBOARD: TARGETS, TIMESTAMP, MULTIPLE, image/bmp and image/png, large values in INCR
// pieces.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>
#include <utility>

#include "clipboard/x11/x11_internal.h"

using x11::Reply;

namespace {

// One MULTIPLE request serves at most this many pairs (a requestor asks for a few targets), and
// each target and each property at most once: the other pairs get None. Without this bound one
// request naming the BMP a thousand times would have the server hold a thousand copies.
constexpr std::size_t MaxMultiplePairs = 16;

} // namespace

bool CX11Selection::Serve(X11Value bmp, std::optional<X11Value> png, Clock::time_point deadline,
                          xcb_timestamp_t time) {
  if (!IsOpen())
    return false;
  if (time == XCB_CURRENT_TIME) {
    // A server timestamp for the ownership: appending nothing to a property of our own window
    // brings a PropertyNotify that carries the server's time.
    m_stamp.reset();
    xcb_change_property(m_c, XCB_PROP_MODE_APPEND, m_window, m_atoms.stampProperty, m_atoms.integer,
                        32, 0, nullptr);
    xcb_flush(m_c);
    if (!RunUntil([this] { return m_stamp.has_value(); }, deadline))
      return false;
    time = *m_stamp;
  }
  // With an earlier time, the server refuses the selection when anyone has taken it since.
  xcb_set_selection_owner(m_c, m_window, m_atoms.clipboard, time);
  const Reply<xcb_get_selection_owner_reply_t> owner(
      xcb_get_selection_owner_reply(m_c, xcb_get_selection_owner(m_c, m_atoms.clipboard), nullptr));
  if (!owner || owner->owner != m_window)
    return false;
  // Requests still waiting were about what we served before.
  ReleaseServed();
  m_pServed = std::make_unique<Served>();
  m_pServed->bmp = std::move(bmp);
  m_pServed->png = std::move(png);
  m_pServed->time = time;
  return true;
}

void CX11Selection::SetPng(X11Value png) {
  if (!m_pServed || m_pServed->png)
    return;
  m_pServed->png = std::move(png);
  for (const xcb_selection_request_event_t &request : std::exchange(m_pServed->waiting, {}))
    OnRequest(request);
  // Kept only for them, once the selection was lost.
  if (!m_pServed->owned)
    m_pServed.reset();
  if (IsOpen())
    xcb_flush(m_c);
}

bool CX11Selection::Serving() const { return m_pServed && m_pServed->owned; }

const X11Value *CX11Selection::ServedBmp() const { return Serving() ? &m_pServed->bmp : nullptr; }

const X11Value *CX11Selection::ServedPng() const {
  return Serving() && m_pServed->png ? &*m_pServed->png : nullptr;
}

xcb_timestamp_t CX11Selection::ServedTime() const {
  return Serving() ? m_pServed->time : xcb_timestamp_t{XCB_CURRENT_TIME};
}

void CX11Selection::Relinquish() {
  if (!IsOpen())
    return;
  if (Serving())
    xcb_set_selection_owner(m_c, XCB_NONE, m_atoms.clipboard, m_pServed->time);
  // The server routes requests to the owner as it takes them; once it has answered this, every
  // request it routed to us before giving the selection up is in our queue, and is answered
  // below, in order, before the SelectionClear that follows them.
  std::free(xcb_get_input_focus_reply(m_c, xcb_get_input_focus(m_c), nullptr));
  Dispatch();
  ReleaseServed();
  xcb_flush(m_c);
}

void CX11Selection::ReleaseServed() {
  if (!m_pServed)
    return;
  // A request can wait only while its answer is on its way; without it, it is refused.
  m_pServed->png = X11Value{};
  for (const xcb_selection_request_event_t &request : std::exchange(m_pServed->waiting, {}))
    OnRequest(request);
  m_pServed.reset();
}

void CX11Selection::OnSelectionClear(const xcb_selection_clear_event_t &clear) {
  // A notice older than our ownership belongs to an ownership we have already replaced.
  if (clear.owner != m_window || clear.selection != m_atoms.clipboard || !Serving() ||
      !x11::NotBefore(clear.time, m_pServed->time))
    return;
  // Every request made while the selection was ours reached us before this notice and has been
  // answered, but for those waiting for the PNG: the bytes stay for them alone.
  m_pServed->owned = false;
  if (m_pServed->waiting.empty())
    m_pServed.reset();
}

// A request for the PNG, or a MULTIPLE (which may name it), waits while the PNG is on its way.
bool CX11Selection::WaitsForPng(const xcb_selection_request_event_t &request) {
  return !m_pServed->png && (request.target == m_atoms.png || request.target == m_atoms.multiple);
}

void CX11Selection::OnRequest(const xcb_selection_request_event_t &request) {
  // Requestors that still name no property want the answer in the target's own.
  const xcb_atom_t property = request.property == XCB_ATOM_NONE ? request.target : request.property;
  bool answered = false;
  // A request from before we took the selection is about an earlier owner's contents.
  if (m_pServed && request.owner == m_window && request.selection == m_atoms.clipboard &&
      (request.time == XCB_CURRENT_TIME || x11::NotBefore(request.time, m_pServed->time))) {
    // This runs inside event handling, where an exception must not arrive: without memory the
    // requestor gets a refusal.
    try {
      if (WaitsForPng(request)) {
        m_pServed->waiting.push_back(request);
        return;
      }
      answered = request.target == m_atoms.multiple
                     ? AnswerMultiple(request.requestor, property)
                     : Answer(request.requestor, request.target, property);
    } catch (const std::bad_alloc &) {
      answered = false;
    }
  }
  // The notice carries the request's own time, by which the requestor tells its answers apart.
  xcb_selection_notify_event_t notify{};
  notify.response_type = XCB_SELECTION_NOTIFY;
  notify.time = request.time;
  notify.requestor = request.requestor;
  notify.selection = request.selection;
  notify.target = request.target;
  notify.property = answered ? property : xcb_atom_t{XCB_ATOM_NONE};
  xcb_send_event(m_c, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT,
                 reinterpret_cast<const char *>(&notify));
  xcb_flush(m_c);
}

bool CX11Selection::Answer(xcb_window_t requestor, xcb_atom_t target, xcb_atom_t property) {
  const bool hasPng = !m_pServed->png || m_pServed->png->size > 0;
  if (target == m_atoms.targets) {
    // The PNG last, so that it can be left out.
    const xcb_atom_t targets[] = {m_atoms.targets, m_atoms.timestamp, m_atoms.multiple,
                                  m_atoms.marker,  m_atoms.bmp,       m_atoms.png};
    xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, requestor, property, m_atoms.atom, 32,
                        static_cast<std::uint32_t>(std::size(targets) - (hasPng ? 0 : 1)), targets);
    return true;
  }
  if (target == m_atoms.timestamp) {
    xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, requestor, property, m_atoms.integer, 32, 1,
                        &m_pServed->time);
    return true;
  }
  if (target == m_atoms.marker) {
    xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, requestor, property, target, 8, 0, nullptr);
    return true;
  }
  if (target == m_atoms.bmp)
    return Put(requestor, property, target, m_pServed->bmp);
  if (target == m_atoms.png && m_pServed->png && hasPng)
    return Put(requestor, property, target, *m_pServed->png);
  return false;
}

// MULTIPLE: the property holds (target, property) pairs; each is answered in turn, and a pair
// we cannot or will not answer gets None for its property.
bool CX11Selection::AnswerMultiple(xcb_window_t requestor, xcb_atom_t property) {
  const Reply<xcb_get_property_reply_t> reply(
      xcb_get_property_reply(m_c,
                             xcb_get_property(m_c, 0, requestor, property,
                                              XCB_GET_PROPERTY_TYPE_ANY, 0, 2 * x11::MaxTargets),
                             nullptr));
  if (!reply || reply->format != 32 || reply->bytes_after > 0)
    return false;
  const auto count =
      static_cast<std::size_t>(std::max(0, xcb_get_property_value_length(reply.get()))) /
      sizeof(xcb_atom_t) / 2 * 2;
  std::vector<xcb_atom_t> pairs(count);
  if (count > 0)
    std::memcpy(pairs.data(), xcb_get_property_value(reply.get()), count * sizeof(xcb_atom_t));
  std::vector<xcb_atom_t> targetsDone, propertiesDone;
  for (std::size_t i = 0; i < count; i += 2) {
    const xcb_atom_t target = pairs[i], into = pairs[i + 1];
    const bool again =
        std::find(targetsDone.begin(), targetsDone.end(), target) != targetsDone.end() ||
        std::find(propertiesDone.begin(), propertiesDone.end(), into) != propertiesDone.end();
    if (into == XCB_ATOM_NONE || target == m_atoms.multiple || again ||
        targetsDone.size() >= MaxMultiplePairs || !Answer(requestor, target, into)) {
      pairs[i + 1] = XCB_ATOM_NONE;
      continue;
    }
    targetsDone.push_back(target);
    propertiesDone.push_back(into);
  }
  xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, requestor, property, m_atoms.atomPair, 32,
                      static_cast<std::uint32_t>(count), pairs.data());
  return true;
}

bool CX11Selection::Put(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t type,
                        const X11Value &value) {
  if (value.size <= m_maxPiece) {
    xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, requestor, property, type, 8,
                        static_cast<std::uint32_t>(value.size), value.data.get());
    return true;
  }
  // INCR: the requestor deletes the property to ask for each piece. Its window's property
  // changes (and its end) must reach us before it can delete anything.
  const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_change_window_attributes(m_c, requestor, XCB_CW_EVENT_MASK, &mask);
  const auto size = static_cast<std::uint32_t>(
      std::min<std::size_t>(value.size, std::numeric_limits<std::uint32_t>::max()));
  xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, requestor, property, m_atoms.incr, 32, 1, &size);
  // A new request on the same property replaces a transfer the requestor gave up.
  std::erase_if(m_transfers, [&](const Transfer &t) {
    return t.requestor == requestor && t.property == property;
  });
  m_transfers.push_back({requestor, property, type, value, 0, false, Clock::now()});
  return true;
}

void CX11Selection::OnRequestorProperty(const xcb_property_notify_event_t &event) {
  if (event.state != XCB_PROPERTY_DELETE)
    return;
  const auto transfer =
      std::find_if(m_transfers.begin(), m_transfers.end(), [&](const Transfer &t) {
        return t.requestor == event.window && t.property == event.atom;
      });
  if (transfer == m_transfers.end())
    return;
  if (transfer->ended) {
    m_transfers.erase(transfer);
    return;
  }
  const std::size_t count = std::min(m_maxPiece, transfer->value.size - transfer->offset);
  xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, transfer->requestor, transfer->property,
                      transfer->type, 8, static_cast<std::uint32_t>(count),
                      transfer->value.data.get() + transfer->offset);
  transfer->offset += count;
  transfer->lastStep = Clock::now();
  // The empty piece has gone out: nothing more is owed once the requestor takes it.
  if (count == 0)
    transfer->ended = true;
}

void CX11Selection::EndTransfers() {
  if (IsOpen()) {
    // The empty piece replaces whatever piece is still unread: the requestor sees the end.
    for (const Transfer &transfer : m_transfers)
      if (!transfer.ended)
        xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, transfer.requestor, transfer.property,
                            transfer.type, 8, 0, nullptr);
    xcb_flush(m_c);
  }
  m_transfers.clear();
}

void CX11Selection::EndStalledTransfers(Clock::time_point now) {
  std::erase_if(m_transfers, [&](const Transfer &transfer) {
    if (now < transfer.lastStep + x11::StalledTransfer)
      return false;
    // Should the requestor come back, it finds the end rather than waiting for ever.
    if (!transfer.ended && IsOpen())
      xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, transfer.requestor, transfer.property,
                          transfer.type, 8, 0, nullptr);
    return true;
  });
}

void CX11Selection::DropRequestor(xcb_window_t window) {
  std::erase_if(m_transfers, [window](const Transfer &t) { return t.requestor == window; });
}
