#include "SyncDeflateCache.h"

#include <zlib.h>

#include <cstring>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "DBuffer.h"
#include "DEngine.h"
#include "SyncDataMap.h"
#include "SyncMapSegment.h"

using libkorvet::DBuffer;
using libkorvet::DEngine;

namespace libksync {

namespace {

// zlib header (deflate, 32 KB window), empty final block, Adler-32 trailer.
const unsigned char ZLIB_METHOD = 0x78;
const std::size_t ZLIB_HEADER = 2;
const unsigned char FINAL_BLOCK[2] = {0x03, 0x00};
const std::size_t ADLER_SIZE = 4;
// A stored block's header after byte alignment: type byte, length, its complement.
const std::size_t STORED_HEADER = 5;

// The second header byte: the level class zlib itself would name, and the
// check bits that make the pair a multiple of 31.
unsigned char headerFlags(int level) {
  unsigned int levelClass = level < 2 ? 0 : level < 6 ? 1 : level == 6 || level == Z_DEFAULT_COMPRESSION ? 2 : 3;
  unsigned int flags = levelClass << 6;
  flags += 31 - (ZLIB_METHOD * 256u + flags) % 31;
  return static_cast<unsigned char>(flags);
}

}  // namespace

int SyncDeflateCache::levelForRate(unsigned int bytesPerSecond) {
  // Level 1 deflates canvas segments at some 100 MB/s or more, level 6 at
  // some 30; from a megabyte a second on, level 6 would be the slower part.
  return bytesPerSecond >= 1000000 ? 1 : 6;
}

SyncDeflateCache::SyncDeflateCache(DEngine* e, SyncDataMap* m, int l)
    : engine(e),
      map(m),
      level(l),
      alive(std::make_shared<bool>(true)),
      segmentSize(0),
      kept(0),
      queued(0),
      wakePosted(false),
      stopping(false) {
  unsigned int first = 0, last = 0;
  if (map->getNumSegments() > 0) map->getSegmentBoundaries(0, first, last);
  segmentSize = static_cast<unsigned short>(last - first + 1);
  cache.resize(map->getNumSegments());
  worker = std::thread([this] { work(); });
}

SyncDeflateCache::~SyncDeflateCache() {
  {
    std::lock_guard<std::mutex> hold(lock);
    stopping = true;
  }
  wake.notify_all();
  worker.join();
}

bool SyncDeflateCache::isCached(unsigned short segment) const {
  return segment < cache.size() && cache[segment] &&
         cache[segment]->version == map->getSegment(segment).getVersion();
}

void SyncDeflateCache::enqueue(const std::shared_ptr<Job>& job, const void* owner) {
  JobQueue& mine = queues[owner];
  if (mine.empty()) turns.push_back(owner);
  mine.push_back(job);
  ++queued;
}

std::size_t SyncDeflateCache::queuedCopies() {
  std::lock_guard<std::mutex> hold(lock);
  return queued;
}

std::size_t SyncDeflateCache::queuedFor(const void* owner) {
  auto it = queues.find(owner);
  return it == queues.end() ? 0 : it->second.size();
}

std::shared_ptr<SyncDeflateCache::Job> SyncDeflateCache::queueCopy(unsigned short segment, unsigned int version,
                                                                   const void* owner) {
  std::shared_ptr<Job> job = std::make_shared<Job>();
  job->segment = segment;
  job->version = version;
  const unsigned char* bytes = map->segmentData(segment);
  job->bytes.assign(bytes, bytes + segmentSize);
  onTheirWay[segment] = job;
  {
    std::lock_guard<std::mutex> hold(lock);
    enqueue(job, owner);
  }
  wake.notify_one();
  return job;
}

std::shared_ptr<SyncDeflateCache::Batch> SyncDeflateCache::prepare(const std::vector<unsigned short>& segments,
                                                                   const void* owner) {
  std::shared_ptr<Batch> batch = std::make_shared<Batch>();
  batch->segments = segments;
  batch->pieces.resize(segments.size());
  for (std::size_t i = 0; i < segments.size(); ++i) {
    unsigned short s = segments[i];
    unsigned int version = map->getSegment(s).getVersion();
    if (cache[s] && cache[s]->version == version) {
      batch->pieces[i] = cache[s];
      continue;
    }
    auto it = onTheirWay.find(s);
    std::shared_ptr<Job> job =
        it != onTheirWay.end() && it->second->version == version ? it->second : queueCopy(s, version, owner);
    job->waiters.push_back(Job::Waiter{batch, i, owner});
    ++batch->missing;
  }
  return batch;
}

void SyncDeflateCache::readAhead(unsigned int first, unsigned int count, const void* owner) {
  unsigned int numSegments = map->getNumSegments();
  if (count > numSegments) count = numSegments;
  for (unsigned int k = 0; k < count; ++k) {
    unsigned short s = static_cast<unsigned short>((first + k) % numSegments);
    if (isCached(s) || onTheirWay.count(s) != 0) continue;
    {
      std::lock_guard<std::mutex> hold(lock);
      if (queued >= MAX_QUEUED_COPIES || queuedFor(owner) >= MAX_READ_AHEAD_PER_OWNER) return;
    }
    queueCopy(s, map->getSegment(s).getVersion(), owner);
  }
}

void SyncDeflateCache::forget(const void* owner) {
  JobQueue dropped;
  {
    std::lock_guard<std::mutex> hold(lock);
    auto it = queues.find(owner);
    if (it == queues.end()) return;
    dropped.swap(it->second);
    queues.erase(it);
    queued -= dropped.size();
    for (auto t = turns.begin(); t != turns.end(); ++t)
      if (*t == owner) {
        turns.erase(t);
        break;
      }
    // A copy another owner's series waits for goes to that owner's queue.
    for (auto d = dropped.begin(); d != dropped.end();) {
      const void* heir = nullptr;
      for (const Job::Waiter& w : (*d)->waiters)
        if (w.owner != owner && !w.batch.expired()) heir = w.owner;
      if (heir) {
        enqueue(*d, heir);
        d = dropped.erase(d);
      } else {
        ++d;
      }
    }
  }
  for (const std::shared_ptr<Job>& job : dropped) {
    auto it = onTheirWay.find(job->segment);
    if (it != onTheirWay.end() && it->second == job) onTheirWay.erase(it);
  }
}

void SyncDeflateCache::collect() {
  std::vector<std::shared_ptr<Job>> finished;
  {
    std::lock_guard<std::mutex> hold(lock);
    wakePosted = false;
    if (done.empty()) return;
    finished.swap(done);
  }
  for (std::shared_ptr<Job>& job : finished) {
    unsigned short s = job->segment;
    auto it = onTheirWay.find(s);
    if (it != onTheirWay.end() && it->second == job) onTheirWay.erase(it);
    job->result.version = job->version;
    PiecePtr piece = std::make_shared<const Piece>(std::move(job->result));
    for (auto& waiter : job->waiters) {
      std::shared_ptr<Batch> batch = waiter.batch.lock();
      if (!batch) continue;
      batch->pieces[waiter.index] = piece;
      if (--batch->missing == 0 && batch->onReady) batch->onReady();
    }
    map->offerCRC(s, piece->version, job->crc);
    if (piece->version != map->getSegment(s).getVersion()) continue;
    std::size_t before = cache[s] ? cache[s]->deflated.size() : 0;
    if (kept - before + piece->deflated.size() > MAX_KEPT_BYTES) continue;
    kept = kept - before + piece->deflated.size();
    cache[s] = piece;
  }
}

std::size_t SyncDeflateCache::builtSize(const Batch& batch) const {
  std::size_t size = ZLIB_HEADER + sizeof FINAL_BLOCK + ADLER_SIZE;
  for (const PiecePtr& piece : batch.pieces) size += piece->stored ? STORED_HEADER + segmentSize : piece->deflated.size();
  return size;
}

void SyncDeflateCache::build(const Batch& batch, DBuffer& out) const {
  if (!batch.ready()) DEngine::fatalError("SyncDeflateCache::build(): the series is not ready");
  out.appendByte(ZLIB_METHOD);
  out.appendByte(headerFlags(level));
  uLong adler = adler32(0L, Z_NULL, 0);
  for (std::size_t i = 0; i < batch.pieces.size(); ++i) {
    const Piece& piece = *batch.pieces[i];
    if (piece.stored) {
      // Stored from the map as it is now: newer than what was compared,
      // which a later query sorts out like any change.
      const unsigned char* bytes = map->segmentData(batch.segments[i]);
      unsigned char header[STORED_HEADER] = {0x00, static_cast<unsigned char>(segmentSize & 0xFF),
                                             static_cast<unsigned char>(segmentSize >> 8),
                                             static_cast<unsigned char>(~segmentSize & 0xFF),
                                             static_cast<unsigned char>((~segmentSize >> 8) & 0xFF)};
      out.appendArray(header, STORED_HEADER);
      out.appendArray(bytes, segmentSize);
      bool unchanged = map->getSegment(batch.segments[i]).getVersion() == piece.version;
      adler = adler32_combine(adler, unchanged ? piece.adler : adler32(1L, bytes, segmentSize), segmentSize);
    } else {
      out.appendArray(piece.deflated.data(), static_cast<long>(piece.deflated.size()));
      adler = adler32_combine(adler, piece.adler, segmentSize);
    }
  }
  out.appendArray(FINAL_BLOCK, sizeof FINAL_BLOCK);
  out.appendVariable<unsigned int>(static_cast<unsigned int>(adler));
}

void SyncDeflateCache::work() {
  z_stream stream = z_stream();
  bool ready = deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
  std::vector<unsigned char> out;
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock<std::mutex> hold(lock);
      wake.wait(hold, [this] { return stopping || !turns.empty(); });
      if (stopping) break;
      // One copy of the owner whose turn it is; it goes to the back of the
      // line while it has more.
      const void* owner = turns.front();
      turns.pop_front();
      JobQueue& mine = queues[owner];
      job = mine.front();
      mine.pop_front();
      --queued;
      if (mine.empty())
        queues.erase(owner);
      else
        turns.push_back(owner);
    }
    const std::vector<unsigned char>& in = job->bytes;
    job->crc = DBuffer::crc32Update(0, in.data(), in.size());
    job->result.adler = static_cast<unsigned int>(adler32(1L, in.data(), static_cast<uInt>(in.size())));
    bool deflated = false;
    if (ready && deflateReset(&stream) == Z_OK) {
      // Room for the worst case plus the empty stored block a full flush adds.
      out.resize(deflateBound(&stream, in.size()) + 16);
      stream.next_in = const_cast<Bytef*>(in.data());
      stream.avail_in = static_cast<uInt>(in.size());
      stream.next_out = out.data();
      stream.avail_out = static_cast<uInt>(out.size());
      int r = deflate(&stream, Z_FULL_FLUSH);
      std::size_t produced = out.size() - stream.avail_out;
      deflated = r == Z_OK && stream.avail_in == 0 && stream.avail_out > 0 && produced < in.size();
      if (deflated) job->result.deflated.assign(out.begin(), out.begin() + static_cast<long>(produced));
    }
    // Anything that does not shrink (or a deflate that failed) goes stored.
    job->result.stored = !deflated;
    std::vector<unsigned char>().swap(job->bytes);
    std::lock_guard<std::mutex> hold(lock);
    done.push_back(job);
    if (!wakePosted) {
      // One wake-up for everything finished until the engine collects.
      wakePosted = true;
      std::weak_ptr<bool> token = alive;
      boost::asio::post(engine->getIoService(), [token, this] {
        if (token.lock()) collect();
      });
    }
  }
  if (ready) deflateEnd(&stream);
}

}  // namespace libksync
