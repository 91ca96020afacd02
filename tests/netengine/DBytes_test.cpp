#include "DBytes.h"

#include <deque>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "FatalTest.h"

using libkorvet::DBytes;

namespace {

std::vector<unsigned char> gathered(const DBytes& store, long maxBytes) {
  std::vector<unsigned char> out;
  for (const auto& piece : store.getSendBuffers(maxBytes)) {
    const unsigned char* p = static_cast<const unsigned char*>(piece.data());
    out.insert(out.end(), p, p + piece.size());
  }
  return out;
}

void expectSame(const DBytes& store, const std::deque<unsigned char>& model) {
  ASSERT_EQ(store.size(), model.size());
  for (std::size_t i = 0; i < model.size(); ++i) ASSERT_EQ(store.getByte(static_cast<long>(i)), model[i]) << i;
  std::vector<unsigned char> all(model.begin(), model.end());
  ASSERT_EQ(gathered(store, static_cast<long>(model.size())), all);
}

}  // namespace

TEST(DBytes, GatherListCoversRequestedPrefix) {
  DBytes store;
  std::vector<unsigned char> data(6000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i % 251);
  for (unsigned char b : data) store.appendByte(b);
  for (long n : {-3L, 0L, 1L, 4096L, 4097L, 6000L}) {
    long expected = std::max(0L, std::min(n, 6000L));
    EXPECT_EQ(gathered(store, n), std::vector<unsigned char>(data.begin(), data.begin() + expected)) << n;
  }
}

// Random mixes of every operation against a plain deque: this is where
// counter and chunk-boundary mistakes show up.
TEST(DBytes, RandomOperationsMatchModel) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 40; ++round) {
    DBytes store;
    std::deque<unsigned char> model;
    for (int step = 0; step < 60; ++step) {
      int op = static_cast<int>(rng() % 6);
      unsigned char b = static_cast<unsigned char>(rng());
      if (op == 0) {
        int n = static_cast<int>(rng() % 5000);
        for (int i = 0; i < n; ++i) {
          store.appendByte(static_cast<unsigned char>(b + i));
          model.push_back(static_cast<unsigned char>(b + i));
        }
      } else if (op == 1) {
        int n = static_cast<int>(rng() % 5000);
        for (int i = 0; i < n; ++i) {
          store.insertByte(static_cast<unsigned char>(b + i));
          model.push_front(static_cast<unsigned char>(b + i));
        }
      } else if (op == 2) {
        std::vector<unsigned char> arr(rng() % 9000);
        for (auto& x : arr) x = static_cast<unsigned char>(rng());
        store.appendArray(arr.data(), static_cast<long>(arr.size()));
        model.insert(model.end(), arr.begin(), arr.end());
      } else if (op == 3 && !model.empty()) {
        long n = static_cast<long>(rng() % (model.size() + 1));
        store.removeFirst(n);
        model.erase(model.begin(), model.begin() + n);
      } else if (op == 4 && !model.empty()) {
        DBytes source(store);
        long index = static_cast<long>(rng() % model.size());
        long length = static_cast<long>(rng() % (model.size() - index + 1));
        std::deque<unsigned char> part(model.begin() + index, model.begin() + index + length);
        store.append(source, index, length);
        model.insert(model.end(), part.begin(), part.end());
      } else if (op == 5) {
        store.append(store);
        std::deque<unsigned char> copy = model;
        model.insert(model.end(), copy.begin(), copy.end());
      }
      if (model.size() > 60000) {
        store.clear();
        model.clear();
      }
      ASSERT_NO_FATAL_FAILURE(expectSame(store, model)) << "round " << round << " step " << step;
    }
    DBytes copy;
    copy = store;
    copy = copy;
    DBytes moved(std::move(copy));
    ASSERT_NO_FATAL_FAILURE(expectSame(moved, model));
  }
}

TEST(DBytesDeath, MisuseIsFatal) {
  DBytes multi;
  for (int i = 0; i < 5000; ++i) multi.appendByte(1);
  EXPECT_FATAL(multi.getByte(5000), "DBytes::calcIndexes\\(\\): Invalid array index \\(end\\): 904");
  // A store of one chunk has no chunk after its bytes to index into.
  DBytes single;
  single.insertByte(1);
  EXPECT_FATAL(single.getByte(1), "DBytes::calcIndexes\\(\\): Invalid array index \\(end\\)");

  EXPECT_FATAL(multi.removeFirst(5001), "DBytes::removeFirst\\(\\): removed wrong number of bytes! size: 0 expected size: -1");

  DBytes ten;
  for (int i = 0; i < 10; ++i) ten.appendByte(1);
  DBytes target;
  EXPECT_FATAL(target.append(ten, 5, 10), "DBytes::append\\(\\): index \\+ length is 15, size is 10");
  unsigned char byte = 0;
  EXPECT_FATAL(target.appendArray(&byte, -1), "DBytes::appendArray\\(\\): copied 0 out of -1");
}
