// PlayerListOverlay: drawing the list of players.

#include "PlayerListOverlay.h"

#include "KivSettings.h"

#include <allegro.h>

namespace {

const int BACKGROUND_COLOR = 1;
const int FRAME_COLOR = 35;
const int TEXT_COLOR = 4;
const int TITLE_COLOR = 33;
const int ADDRESS_COLOR = 4;
const char* const TITLE = "Players";

}  // namespace

void PlayerListOverlay::run(char typed, int) {
  if (typed == '\t') open = !open;
}

std::vector<std::string> PlayerListOverlay::rows() const {
  std::vector<std::string> out;
  if (!netSystem) return out;
  for (const NetSystem::ListedPlayer& p : netSystem->listPlayers()) {
    std::string row = p.name;
    if (p.host) row += " (host)";
    if (!p.address.empty()) row += "  " + p.address;
    out.push_back(row);
  }
  return out;
}

int PlayerListOverlay::height() const {
  const std::size_t n = netSystem ? netSystem->listPlayers().size() : 0;
  return 2 * PADDING + ROW_HEIGHT * static_cast<int>(n + 1);
}

bool PlayerListOverlay::covers(int x, int y, int screenWidth) const {
  const int x0 = (screenWidth - WIDTH) / 2;
  return open && x >= x0 && x < x0 + WIDTH && y >= TOP && y < TOP + height();
}

void PlayerListOverlay::display(BITMAP* buffer, int screenWidth) const {
  if (!open || buffer == nullptr) return;
  FONT* f = KivSettings::getSmallFont() ? KivSettings::getSmallFont() : font;
  const int x0 = (screenWidth - WIDTH) / 2;
  const int x1 = x0 + WIDTH - 1;
  const int y1 = TOP + height() - 1;
  rectfill(buffer, x0, TOP, x1, y1, palette_color[BACKGROUND_COLOR]);
  rect(buffer, x0, TOP, x1, y1, palette_color[FRAME_COLOR]);
  int y = TOP + PADDING;
  textout_ex(buffer, f, TITLE, x0 + PADDING, y, palette_color[TITLE_COLOR], -1);
  if (!netSystem) return;
  for (const NetSystem::ListedPlayer& p : netSystem->listPlayers()) {
    y += ROW_HEIGHT;
    const std::string name = KivSettings::printable(p.name) + (p.host ? " (host)" : "");
    textout_ex(buffer, f, name.c_str(), x0 + PADDING, y, palette_color[TEXT_COLOR], -1);
    if (!p.address.empty())
      textout_ex(buffer, f, p.address.c_str(), x0 + WIDTH / 2 + PADDING, y, palette_color[ADDRESS_COLOR], -1);
  }
}
