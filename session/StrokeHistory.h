#ifndef SESSION_STROKEHISTORY_H
#define SESSION_STROKEHISTORY_H

// StrokeHistory: the host's record of each painter's recent strokes (one
// press to release), with the value every painted pixel had before, so that
// one painter's strokes can be undone, redone and rolled back without
// touching what others painted since. It listens to the canvas it is given
// (WorldMap::PaintObserver): every stroke line painted there belongs to the
// painter of the current PaintScope, the host's own outside any. Painters
// that say where their strokes begin and end are delimited by that; for the
// others a line that does not start where their previous one ended, or that
// comes after a pause, starts a new stroke. Bounded: MEMORY_CAP for the
// whole session, the oldest strokes forgotten first. Owned by the session
// server; time is the engine's clock. Main thread only.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "DTime.h"
#include "WorldMap.h"

namespace libkorvet {
class DEngine;
}  // namespace libkorvet

class StrokeHistory : public WorldMap::PaintObserver {
 public:
  typedef unsigned int Painter;
  static const Painter HOST = 0;
  // Paint that is not recorded (of a peer not yet known, say).
  static const Painter NOBODY = 0xFFFFFFFFu;

  // All strokes of all painters together, with their bookkeeping.
  static const std::size_t MEMORY_CAP = 64u << 20;
  // Each painter's newest strokes are forgotten for the cap only once no
  // painter holds more than this many.
  static const std::size_t KEPT_STROKES = 50;
  // A stroke that paints more pixels than this goes on as a new stroke, so
  // the strokes being painted by all painters stay far below the cap.
  static const std::size_t MAX_STROKE_PIXELS = 1u << 18;
  // An undelimited painter's line after this long a pause starts a stroke.
  static const unsigned int STROKE_GAP_MS = 1500;
  // How long the strokes of a painter who left can still be rolled back.
  static const unsigned int LEFT_KEEP_MS = 15 * 60 * 1000;
  // Painters remembered at once; beyond it the one who left first goes.
  static const std::size_t MAX_PAINTERS = 64;
  static const char* const FORGOTTEN_TEXT;

  // What an undo, redo or rollback did.
  struct Result {
    unsigned int strokes = 0;
    // The pixels whose value changed, ascending, each once.
    std::vector<unsigned int> pixels;
  };

  // Attaches to map at once; cap is MEMORY_CAP but for tests.
  // Requires: map and engine outlive this object.
  StrokeHistory(WorldMap* map, libkorvet::DEngine* engine, std::size_t cap = MEMORY_CAP);
  ~StrokeHistory() override;
  StrokeHistory(const StrokeHistory&) = delete;
  StrokeHistory& operator=(const StrokeHistory&) = delete;

  // Lines painted while one lives are the painter's (scopes nest; a null
  // history is allowed and does nothing).
  class PaintScope {
   public:
    PaintScope(StrokeHistory* history, Painter painter);
    ~PaintScope();
    PaintScope(const PaintScope&) = delete;
    PaintScope& operator=(const PaintScope&) = delete;

   private:
    StrokeHistory* history;
    Painter previous;
  };

  // The painter says where its strokes begin and end (beginStroke,
  // endStroke); its lines are never split by where they start.
  void setDelimited(Painter painter, bool delimited);
  void beginStroke(Painter painter);
  void endStroke(Painter painter);
  // The painter's connection went: its strokes stay for rollback for
  // LEFT_KEEP_MS, then they are forgotten. Painting again keeps it.
  void painterLeft(Painter painter);

  // Undoes the painter's newest stroke (ending it if it is being painted):
  // every pixel it painted that still holds what it painted gets back the
  // value it had before. Nothing to undo: strokes 0.
  Result undo(Painter painter);
  // Paints the stroke undone last again, as if it were painted now (over
  // whatever is there). A new stroke of the painter empties what can be
  // redone.
  Result redo(Painter painter);
  // Undoes every stroke of the painter that was painted within the last
  // `minutes`, newest first, for good: none of it can be redone.
  Result rollback(Painter painter, unsigned int minutes);

  // Painters whose strokes the cap made the history forget, each told once
  // in its session (FORGOTTEN_TEXT): taken by the caller.
  std::vector<Painter> takeForgotten();
  // Forgets the painters who left longer than LEFT_KEEP_MS ago (also done
  // whenever a stroke begins).
  void expire();

  // The pixels the next undo (or redo) of the painter would look at: what
  // it costs, at most MAX_STROKE_PIXELS.
  std::size_t changeSize(Painter painter, bool redo) const;

  std::size_t memoryUsed() const { return memory; }
  std::size_t undoDepth(Painter painter) const;
  std::size_t redoDepth(Painter painter) const;
  bool knows(Painter painter) const { return painters.count(painter) != 0; }
  // The painter whose lines the canvas paints now.
  Painter painting() const { return current; }

  // WorldMap::PaintObserver.
  void lineBegins(long x1, long y1, long x2, long y2) override;
  void pixelPainted(unsigned int pixel, const unsigned char* before, const unsigned char* after) override;

 private:
  // One pixel of a stroke: its number, the value before the stroke and the
  // value the stroke left.
  struct Entry {
    uint32_t pixel;
    unsigned char before[3];
    unsigned char after[3];
  };

  struct Stroke {
    unsigned long long sequence = 0;
    unsigned long long endMs = 0;
    // In the order first painted.
    std::vector<Entry> entries;
    // While it is painted: open addressing over entries (index + 1; 0 free).
    std::vector<uint32_t> slots;
    // The rectangle of its pixels.
    long minX = 0, minY = 0, maxX = -1, maxY = -1;
    std::size_t bytes() const;
  };

  struct PainterState {
    std::deque<std::unique_ptr<Stroke>> done;  // oldest first
    std::vector<std::unique_ptr<Stroke>> undone;  // the one undone last at the back
    std::unique_ptr<Stroke> open;
    long lastX = -1;
    long lastY = -1;
    unsigned long long lastLineMs = 0;
    unsigned long long leftMs = 0;
    bool delimited = false;
    bool left = false;
    bool told = false;
  };

  unsigned long long now();
  PainterState& state(Painter painter);
  void openStroke(Painter painter, PainterState& p);
  void closeStroke(PainterState& p);
  // The entry of a pixel in a stroke being painted, if it painted it.
  Entry* find(Stroke& stroke, uint32_t pixel);
  void grow(Stroke& stroke);
  void forgetPainter(std::map<Painter, PainterState>::iterator it);
  void account(long long change);
  // Forgets the oldest strokes until the history fits its cap.
  void enforceCap();
  // Puts back one stroke's before values where it still shows (or, for
  // redo, paints its after values), collecting the pixels changed.
  void revert(Stroke& stroke, std::vector<unsigned int>& changed);
  // Where a stroke being undone lies under later strokes, the lowest of
  // those now covers what it covered.
  void passUnder(const Stroke& stroke, const std::vector<const Entry*>& covered);
  void reapply(Stroke& stroke, std::vector<unsigned int>& changed);
  static void finish(Result& result);

  WorldMap* map;
  libkorvet::DTime origin;
  std::map<Painter, PainterState> painters;
  std::vector<Painter> forgotten;
  std::size_t memory;
  std::size_t cap;
  unsigned long long sequence;
  unsigned long long latest;
  Painter current;
};

#endif  // SESSION_STROKEHISTORY_H
