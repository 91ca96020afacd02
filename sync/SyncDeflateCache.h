#ifndef SYNC_SYNCDEFLATECACHE_H
#define SYNC_SYNCDEFLATECACHE_H

// SyncDeflateCache: the compressed form of each segment, shared by every
// client of one link-paced server, so a chunk series of many segments costs
// the main loop copies, not compression. Each piece is one segment deflated
// on its own and ended with a full flush; pieces of any segments in any
// order therefore join into one zlib stream: a header, the pieces, an empty
// final block and the Adler-32 of all the bytes, combined from the pieces'.
// A segment that does not compress becomes a stored block of its bytes,
// taken from the map when the series is built.
//
// The main thread copies a segment and queues it for the client that asked
// (its owner); one worker thread deflates the queued copies of the owners in
// turn, one each, so no client's series waits behind another's whole list,
// and wakes the engine, whose next step runs collect(): it hands the
// piece to the series waiting for it (calling its onReady once it has them
// all) and keeps it while the segment is unchanged and the kept pieces stay
// within MAX_KEPT_BYTES. The worker also checksums the copy, which fills the
// map's CRC cache ahead of the queries. Owned by SyncServer; everything but
// the worker runs on the engine's thread.

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace libkorvet {
class DBuffer;
class DEngine;
}  // namespace libkorvet

namespace libksync {

class SyncDataMap;

class SyncDeflateCache {
 public:
  // Bytes of kept pieces; beyond it new pieces serve their series only.
  static constexpr std::size_t MAX_KEPT_BYTES = 64u * 1024u * 1024u;
  // Read-ahead stops while this many copies wait for the worker, or this
  // many for the one owner (a series of its own needs at most one reply's).
  static constexpr std::size_t MAX_QUEUED_COPIES = 512;
  static constexpr std::size_t MAX_READ_AHEAD_PER_OWNER = 255;

  struct Piece {
    std::vector<unsigned char> deflated;  // empty when stored
    unsigned int adler = 1;               // of the segment's bytes
    unsigned int version = 0;             // of the segment the bytes were taken at
    bool stored = false;
  };
  typedef std::shared_ptr<const Piece> PiecePtr;

  // The pieces of one series, in list order, as they become ready. The
  // cache holds batches weakly: one its owner dropped is never filled, and
  // onReady runs only while its owner still holds it.
  struct Batch {
    std::vector<unsigned short> segments;
    std::vector<PiecePtr> pieces;
    std::size_t missing = 0;
    std::function<void()> onReady;
    bool ready() const { return missing == 0; }
  };

  // The zlib level for a link of this rate: the fastest where compressing,
  // not the link, is what a series waits for; a thorough one below that.
  static int levelForRate(unsigned int bytesPerSecond);

  // Requires: map and engine outlive the cache; the map is initialized;
  // level is a zlib level.
  SyncDeflateCache(libkorvet::DEngine* engine, SyncDataMap* map, int level);
  ~SyncDeflateCache();
  SyncDeflateCache(const SyncDeflateCache&) = delete;
  SyncDeflateCache& operator=(const SyncDeflateCache&) = delete;

  // Starts gathering the pieces of segments (cached ones at once) for owner.
  std::shared_ptr<Batch> prepare(const std::vector<unsigned short>& segments, const void* owner);
  // Queues the count segments from `first` on (wrapping) that are neither
  // cached nor on their way: what a joining client asks for next.
  void readAhead(unsigned int first, unsigned int count, const void* owner);
  // The owner went: its copies the worker has not started are dropped,
  // unless another owner's series waits for them too.
  void forget(const void* owner);
  // Takes the worker's finished pieces into their batches and the cache.
  void collect();
  // The zlib stream of a ready batch, appended to out.
  void build(const Batch& batch, libkorvet::DBuffer& out) const;
  // Length build() would produce.
  std::size_t builtSize(const Batch& batch) const;

  // For tests and diagnostics.
  std::size_t keptBytes() const { return kept; }
  // Copies waiting for the worker.
  std::size_t queuedCopies();
  bool isCached(unsigned short segment) const;

  static int getNumInstances() { return -1; }

 private:
  // Handed over under the lock: the main thread fills the input, the worker
  // the output; segment, version and waiters are the main thread's alone.
  struct Job {
    unsigned short segment = 0;
    unsigned int version = 0;
    std::vector<unsigned char> bytes;  // worker input
    Piece result;                      // worker output
    unsigned int crc = 0;              // worker output
    struct Waiter {
      std::weak_ptr<Batch> batch;
      std::size_t index;
      const void* owner;
    };
    std::vector<Waiter> waiters;
  };
  typedef std::deque<std::shared_ptr<Job>> JobQueue;

  std::shared_ptr<Job> queueCopy(unsigned short segment, unsigned int version, const void* owner);
  // Requires: lock held.
  void enqueue(const std::shared_ptr<Job>& job, const void* owner);
  std::size_t queuedFor(const void* owner);
  void work();

  libkorvet::DEngine* engine;
  SyncDataMap* map;
  int level;
  // Expires with the cache: a wake-up that comes later does nothing.
  std::shared_ptr<bool> alive;
  unsigned short segmentSize;
  std::vector<PiecePtr> cache;
  std::map<unsigned short, std::shared_ptr<Job>> onTheirWay;
  std::size_t kept;

  std::mutex lock;
  std::condition_variable wake;
  // Copies waiting for the worker, per owner, and the owners in turn.
  std::map<const void*, JobQueue> queues;
  std::deque<const void*> turns;
  std::size_t queued;
  std::vector<std::shared_ptr<Job>> done;
  bool wakePosted;
  bool stopping;
  std::thread worker;
};

}  // namespace libksync

#endif  // SYNC_SYNCDEFLATECACHE_H
