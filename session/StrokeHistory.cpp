// StrokeHistory: recording strokes from the canvas, undo, redo and rollback,
// and the memory cap.
//
// [SECTION] painters and strokes
// [SECTION] recording: lines and pixels
// [SECTION] undo, redo, rollback
// [SECTION] the cap

#include "StrokeHistory.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "DEngine.h"

using libkorvet::DEngine;

const StrokeHistory::Painter StrokeHistory::HOST;
const StrokeHistory::Painter StrokeHistory::NOBODY;
const std::size_t StrokeHistory::MEMORY_CAP;
const std::size_t StrokeHistory::KEPT_STROKES;
const std::size_t StrokeHistory::MAX_STROKE_PIXELS;
const unsigned int StrokeHistory::STROKE_GAP_MS;
const unsigned int StrokeHistory::LEFT_KEEP_MS;
const std::size_t StrokeHistory::MAX_PAINTERS;
const char* const StrokeHistory::FORGOTTEN_TEXT = "Oldest strokes can no longer be undone";

namespace {

// What a stroke costs besides its pixels: the object, its place in a list.
const std::size_t STROKE_OVERHEAD = 96;
const std::size_t FIRST_ENTRIES = 64;

bool same(const unsigned char* a, const unsigned char* b) { return a[0] == b[0] && a[1] == b[1] && a[2] == b[2]; }

uint32_t slotOf(uint32_t pixel, std::size_t slots) {
  return static_cast<uint32_t>((pixel * 2654435761u) & (slots - 1));
}

}  // namespace

// ---------------------------------------------------------------------------
// [SECTION] painters and strokes
// ---------------------------------------------------------------------------

StrokeHistory::StrokeHistory(WorldMap* m, DEngine* engine, std::size_t memoryCap)
    : map(m), memory(0), cap(memoryCap), sequence(0), latest(0), current(HOST) {
  origin.useEngine(engine);
  origin.updateTime();
  map->setPaintObserver(this);
}

StrokeHistory::~StrokeHistory() {
  if (map->getPaintObserver() == this) map->setPaintObserver(nullptr);
}

StrokeHistory::PaintScope::PaintScope(StrokeHistory* h, Painter painter)
    : history(h), previous(h ? h->current : HOST) {
  if (history) history->current = painter;
}

StrokeHistory::PaintScope::~PaintScope() {
  if (history) history->current = previous;
}

std::size_t StrokeHistory::Stroke::bytes() const {
  return STROKE_OVERHEAD + entries.capacity() * sizeof(Entry) + slots.capacity() * sizeof(uint32_t);
}

unsigned long long StrokeHistory::now() {
  unsigned long long elapsed = origin.timeElapsed();
  if (elapsed > latest) latest = elapsed;
  return latest;
}

StrokeHistory::PainterState& StrokeHistory::state(Painter painter) {
  auto it = painters.find(painter);
  if (it == painters.end()) {
    if (painters.size() >= MAX_PAINTERS) {
      auto first = painters.end();
      for (auto p = painters.begin(); p != painters.end(); ++p)
        if (p->second.left && (first == painters.end() || p->second.leftMs < first->second.leftMs)) first = p;
      if (first != painters.end()) forgetPainter(first);
    }
    it = painters.emplace(painter, PainterState()).first;
  }
  it->second.left = false;
  return it->second;
}

void StrokeHistory::setDelimited(Painter painter, bool delimited) { state(painter).delimited = delimited; }

void StrokeHistory::beginStroke(Painter painter) {
  PainterState& p = state(painter);
  closeStroke(p);
  openStroke(painter, p);
}

void StrokeHistory::endStroke(Painter painter) {
  auto it = painters.find(painter);
  if (it != painters.end()) closeStroke(it->second);
}

void StrokeHistory::painterLeft(Painter painter) {
  auto it = painters.find(painter);
  if (it == painters.end()) return;
  closeStroke(it->second);
  if (it->second.done.empty() && it->second.undone.empty()) {
    painters.erase(it);
    return;
  }
  it->second.left = true;
  it->second.leftMs = now();
}

void StrokeHistory::expire() {
  const unsigned long long t = now();
  for (auto it = painters.begin(); it != painters.end();) {
    auto next = std::next(it);
    if (it->second.left && t - it->second.leftMs > LEFT_KEEP_MS) forgetPainter(it);
    it = next;
  }
}

void StrokeHistory::forgetPainter(std::map<Painter, PainterState>::iterator it) {
  PainterState& p = it->second;
  long long freed = 0;
  for (const auto& s : p.done) freed += static_cast<long long>(s->bytes());
  for (const auto& s : p.undone) freed += static_cast<long long>(s->bytes());
  if (p.open) freed += static_cast<long long>(p.open->bytes());
  account(-freed);
  painters.erase(it);
}

void StrokeHistory::openStroke(Painter painter, PainterState& p) {
  expire();
  // A new stroke: what was undone before it can no longer come back.
  for (const auto& s : p.undone) account(-static_cast<long long>(s->bytes()));
  p.undone.clear();
  p.open.reset(new Stroke);
  p.open->sequence = ++sequence;
  p.open->endMs = now();
  p.lastLineMs = p.open->endMs;
  account(static_cast<long long>(p.open->bytes()));
  (void)painter;
}

void StrokeHistory::closeStroke(PainterState& p) {
  if (!p.open) return;
  std::unique_ptr<Stroke> stroke = std::move(p.open);
  const long long before = static_cast<long long>(stroke->bytes());
  std::vector<uint32_t>().swap(stroke->slots);
  stroke->entries.shrink_to_fit();
  stroke->endMs = p.lastLineMs;
  account(static_cast<long long>(stroke->bytes()) - before);
  p.done.push_back(std::move(stroke));
  enforceCap();
}

std::size_t StrokeHistory::undoDepth(Painter painter) const {
  auto it = painters.find(painter);
  if (it == painters.end()) return 0;
  return it->second.done.size() + (it->second.open ? 1 : 0);
}

std::size_t StrokeHistory::changeSize(Painter painter, bool redo) const {
  auto it = painters.find(painter);
  if (it == painters.end()) return 0;
  const PainterState& p = it->second;
  if (redo) return p.undone.empty() || p.open ? 0 : p.undone.back()->entries.size();
  if (p.open) return p.open->entries.size();
  return p.done.empty() ? 0 : p.done.back()->entries.size();
}

std::size_t StrokeHistory::redoDepth(Painter painter) const {
  auto it = painters.find(painter);
  return it == painters.end() ? 0 : it->second.undone.size();
}

std::vector<StrokeHistory::Painter> StrokeHistory::takeForgotten() {
  std::vector<Painter> out;
  out.swap(forgotten);
  return out;
}

// ---------------------------------------------------------------------------
// [SECTION] recording
// ---------------------------------------------------------------------------

void StrokeHistory::lineBegins(long x1, long y1, long x2, long y2) {
  if (current == NOBODY) return;
  PainterState& p = state(current);
  const unsigned long long t = now();
  // Without word from the painter, a stroke is lines that follow on from
  // each other without a pause: the paint panel sends a segment every tick
  // while the button is held (a still pointer too), each starting where the
  // one before ended.
  if (p.open && !p.delimited && (x1 != p.lastX || y1 != p.lastY || t - p.lastLineMs > STROKE_GAP_MS))
    closeStroke(p);
  if (!p.open) openStroke(current, p);
  p.lastX = x2;
  p.lastY = y2;
  p.lastLineMs = t;
}

StrokeHistory::Entry* StrokeHistory::find(Stroke& stroke, uint32_t pixel) {
  if (stroke.slots.empty()) return nullptr;
  for (uint32_t s = slotOf(pixel, stroke.slots.size());; s = (s + 1) & (stroke.slots.size() - 1)) {
    const uint32_t held = stroke.slots[s];
    if (held == 0) return nullptr;
    if (stroke.entries[held - 1].pixel == pixel) return &stroke.entries[held - 1];
  }
}

void StrokeHistory::grow(Stroke& stroke) {
  const long long before = static_cast<long long>(stroke.bytes());
  if (stroke.entries.size() == stroke.entries.capacity())
    stroke.entries.reserve(std::min(MAX_STROKE_PIXELS, std::max(FIRST_ENTRIES, stroke.entries.capacity() * 2)));
  // At most half full, so a probe ends soon.
  if ((stroke.entries.size() + 1) * 2 > stroke.slots.size()) {
    std::vector<uint32_t> slots(std::max<std::size_t>(2 * FIRST_ENTRIES, stroke.slots.size() * 2), 0);
    for (std::size_t i = 0; i < stroke.entries.size(); ++i) {
      uint32_t s = slotOf(stroke.entries[i].pixel, slots.size());
      while (slots[s] != 0) s = (s + 1) & (slots.size() - 1);
      slots[s] = static_cast<uint32_t>(i + 1);
    }
    stroke.slots.swap(slots);
  }
  const long long after = static_cast<long long>(stroke.bytes());
  if (after != before) {
    account(after - before);
    enforceCap();
  }
}

void StrokeHistory::pixelPainted(unsigned int pixel, const unsigned char* before, const unsigned char* after) {
  if (current == NOBODY) return;
  PainterState& p = state(current);
  if (!p.open) openStroke(current, p);
  Entry* entry = find(*p.open, pixel);
  if (entry) {
    // Someone else painted the pixel since this stroke did: undoing this
    // stroke gives back their paint, not what was there first.
    if (!same(before, entry->after)) std::memcpy(entry->before, before, 3);
    std::memcpy(entry->after, after, 3);
    return;
  }
  if (same(before, after)) return;
  if (p.open->entries.size() >= MAX_STROKE_PIXELS) {
    closeStroke(p);
    openStroke(current, p);
  }
  Stroke& stroke = *p.open;
  grow(stroke);
  Entry e;
  e.pixel = pixel;
  std::memcpy(e.before, before, 3);
  std::memcpy(e.after, after, 3);
  stroke.entries.push_back(e);
  const long x = static_cast<long>(pixel % static_cast<unsigned int>(map->getPixelWidth()));
  const long y = static_cast<long>(pixel / static_cast<unsigned int>(map->getPixelWidth()));
  if (stroke.maxX < stroke.minX) {
    stroke.minX = stroke.maxX = x;
    stroke.minY = stroke.maxY = y;
  } else {
    stroke.minX = std::min(stroke.minX, x);
    stroke.maxX = std::max(stroke.maxX, x);
    stroke.minY = std::min(stroke.minY, y);
    stroke.maxY = std::max(stroke.maxY, y);
  }
  uint32_t s = slotOf(pixel, stroke.slots.size());
  while (stroke.slots[s] != 0) s = (s + 1) & (stroke.slots.size() - 1);
  stroke.slots[s] = static_cast<uint32_t>(stroke.entries.size());
}

// ---------------------------------------------------------------------------
// [SECTION] undo, redo, rollback
// ---------------------------------------------------------------------------

void StrokeHistory::revert(Stroke& stroke, std::vector<unsigned int>& changed) {
  unsigned char held[3];
  std::vector<const Entry*> covered;
  for (const Entry& e : stroke.entries) {
    map->readPixel(e.pixel, held);
    // Paint of others over this stroke stays.
    if (!same(held, e.after)) {
      covered.push_back(&e);
      continue;
    }
    if (same(held, e.before)) continue;
    map->writePixel(e.pixel, e.before);
    changed.push_back(e.pixel);
  }
  if (!covered.empty()) passUnder(stroke, covered);
}

void StrokeHistory::passUnder(const Stroke& stroke, const std::vector<const Entry*>& covered) {
  // The stroke just above this one at a pixel found what this one left
  // there: if that one is undone later, what this one covered shows, not
  // this stroke's paint. Only later strokes that overlap it are searched,
  // each once through.
  std::unordered_map<uint32_t, std::size_t> where;
  where.reserve(covered.size() * 2);
  for (std::size_t k = 0; k < covered.size(); ++k) where.emplace(covered[k]->pixel, k);
  std::vector<Entry*> lowest(covered.size(), nullptr);
  std::vector<unsigned long long> lowestSequence(covered.size(), 0);
  auto search = [&](Stroke& later) {
    if (later.maxX < stroke.minX || later.minX > stroke.maxX || later.maxY < stroke.minY || later.minY > stroke.maxY)
      return;
    for (Entry& e : later.entries) {
      auto it = where.find(e.pixel);
      if (it == where.end()) continue;
      const std::size_t k = it->second;
      if ((lowest[k] && lowestSequence[k] < later.sequence) || !same(e.before, covered[k]->after)) continue;
      lowest[k] = &e;
      lowestSequence[k] = later.sequence;
    }
  };
  for (auto& entry : painters) {
    PainterState& p = entry.second;
    for (auto it = p.done.rbegin(); it != p.done.rend() && (*it)->sequence > stroke.sequence; ++it) search(**it);
    if (p.open && p.open->sequence > stroke.sequence) search(*p.open);
  }
  for (std::size_t k = 0; k < covered.size(); ++k)
    if (lowest[k]) std::memcpy(lowest[k]->before, covered[k]->before, 3);
}

void StrokeHistory::reapply(Stroke& stroke, std::vector<unsigned int>& changed) {
  // As if painted anew now, over whatever is there: undoing it again gives
  // back what it covered this time.
  for (Entry& e : stroke.entries) {
    map->readPixel(e.pixel, e.before);
    if (same(e.before, e.after)) continue;
    map->writePixel(e.pixel, e.after);
    changed.push_back(e.pixel);
  }
}

void StrokeHistory::finish(Result& result) {
  std::sort(result.pixels.begin(), result.pixels.end());
  result.pixels.erase(std::unique(result.pixels.begin(), result.pixels.end()), result.pixels.end());
}

StrokeHistory::Result StrokeHistory::undo(Painter painter) {
  Result result;
  auto it = painters.find(painter);
  if (it == painters.end()) return result;
  PainterState& p = it->second;
  closeStroke(p);
  if (p.done.empty()) return result;
  std::unique_ptr<Stroke> stroke = std::move(p.done.back());
  p.done.pop_back();
  revert(*stroke, result.pixels);
  result.strokes = 1;
  p.undone.push_back(std::move(stroke));
  finish(result);
  return result;
}

StrokeHistory::Result StrokeHistory::redo(Painter painter) {
  Result result;
  auto it = painters.find(painter);
  if (it == painters.end() || it->second.open || it->second.undone.empty()) return result;
  PainterState& p = it->second;
  std::unique_ptr<Stroke> stroke = std::move(p.undone.back());
  p.undone.pop_back();
  reapply(*stroke, result.pixels);
  stroke->sequence = ++sequence;
  result.strokes = 1;
  p.done.push_back(std::move(stroke));
  finish(result);
  return result;
}

StrokeHistory::Result StrokeHistory::rollback(Painter painter, unsigned int minutes) {
  Result result;
  auto it = painters.find(painter);
  if (it == painters.end()) return result;
  PainterState& p = it->second;
  closeStroke(p);
  const unsigned long long t = now();
  const unsigned long long span = static_cast<unsigned long long>(minutes) * 60000ull;
  const unsigned long long since = t > span ? t - span : 0;
  while (!p.done.empty() && p.done.back()->endMs >= since) {
    revert(*p.done.back(), result.pixels);
    ++result.strokes;
    account(-static_cast<long long>(p.done.back()->bytes()));
    p.done.pop_back();
  }
  for (const auto& s : p.undone) account(-static_cast<long long>(s->bytes()));
  p.undone.clear();
  finish(result);
  return result;
}

// ---------------------------------------------------------------------------
// [SECTION] the cap
// ---------------------------------------------------------------------------

void StrokeHistory::account(long long change) {
  long long total = static_cast<long long>(memory) + change;
  if (total < 0) DEngine::fatalError("StrokeHistory::account(): memory below zero");
  memory = static_cast<std::size_t>(total);
}

void StrokeHistory::enforceCap() {
  while (memory > cap) {
    // The oldest finished stroke of a painter who holds more than the kept
    // ones; else the oldest of anyone; else one that waits to be redone
    // (the one to be redone last). Strokes being painted stay.
    PainterState* owner = nullptr;
    Painter owned = HOST;
    bool fromUndone = false;
    for (int pass = 0; pass < 3 && !owner; ++pass) {
      unsigned long long oldest = 0;
      for (auto& entry : painters) {
        PainterState& p = entry.second;
        const std::deque<std::unique_ptr<Stroke>>& done = p.done;
        if (pass < 2) {
          if (done.empty() || (pass == 0 && done.size() + p.undone.size() <= KEPT_STROKES)) continue;
          if (!owner || done.front()->sequence < oldest) {
            owner = &p;
            owned = entry.first;
            oldest = done.front()->sequence;
          }
        } else if (!p.undone.empty() && (!owner || p.undone.front()->sequence < oldest)) {
          owner = &p;
          owned = entry.first;
          oldest = p.undone.front()->sequence;
          fromUndone = true;
        }
      }
    }
    if (!owner) return;
    if (fromUndone) {
      account(-static_cast<long long>(owner->undone.front()->bytes()));
      owner->undone.erase(owner->undone.begin());
    } else {
      account(-static_cast<long long>(owner->done.front()->bytes()));
      owner->done.pop_front();
    }
    if (!owner->told) {
      owner->told = true;
      forgotten.push_back(owned);
    }
  }
}
