#include "HeadlessSession.h"

#include <thread>

#include "KivClient.h"
#include "KivServer.h"
#include "KivSettings.h"
#include "SyncClient.h"
#include "SyncDataMap.h"
#include "SyncServer.h"

namespace {

const int STATUS_COLOR = 80;

}  // namespace

HeadlessSession::HeadlessSession() : facade(&netEngine), nextTick(std::chrono::steady_clock::now()) {}

void HeadlessSession::waitForTick(const std::function<void(libkorvet::DEngine&)>& step) {
  for (;;) {
    if (step)
      step(netEngine);
    else
      netEngine.update(100);
    if (std::chrono::steady_clock::now() >= nextTick) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  nextTick += std::chrono::milliseconds(TICK_MS);
}

std::vector<HeadlessSession::Line> HeadlessSession::takeLines() {
  std::vector<Line> lines;
  Line line;
  int color = 0;
  while (KivSettings::getChatMessage(line.owner, line.text, color)) {
    line.status = color == STATUS_COLOR;
    lines.push_back(line);
  }
  return lines;
}

std::vector<unsigned int> HeadlessSession::segmentCRCs() {
  libksync::SyncDataMap* data = nullptr;
  if (facade.getServer() && facade.getServer()->getSyncServer())
    data = facade.getServer()->getSyncServer()->retrieveDataMap();
  else if (facade.getClient() && facade.getClient()->getSyncClient())
    data = facade.getClient()->getSyncClient()->retrieveDataMap();
  std::vector<unsigned int> crcs;
  if (data == nullptr) return crcs;
  for (unsigned short s = 0; s < data->getNumSegments(); ++s) crcs.push_back(data->getCRC(s));
  return crcs;
}
