// PlayerListOverlay: drawing the list of players and the host's clicks on it.

#include "PlayerListOverlay.h"

#include "KivServer.h"
#include "KivSettings.h"
#include "PlayerRoster.h"

#include <allegro.h>

namespace {

const int BACKGROUND_COLOR = 1;
const int FRAME_COLOR = 35;
const int TEXT_COLOR = 4;
const int TITLE_COLOR = 33;
const int SELECTED_COLOR = 2;
const int BUTTON_COLOR = 35;
const char* const TITLE = "Players";

}  // namespace

bool PlayerListOverlay::hosting() const {
  return netSystem && netSystem->getSessionMode() == NetSystem::HOSTING && netSystem->getServer();
}

std::vector<PlayerListOverlay::Row> PlayerListOverlay::rows() const {
  std::vector<Row> out;
  if (!netSystem) return out;
  for (const NetSystem::ListedPlayer& p : netSystem->listPlayers()) {
    std::string text = KivSettings::printable(p.name) + (p.host ? " (host)" : "");
    if (!p.address.empty()) text += "  " + p.address;
    out.push_back(Row{PLAYER, text, p.id, p.address, p.host});
  }
  if (!hosting()) return out;
  KivServer* server = netSystem->getServer();
  for (const PlayerRoster::Player& p : server->getRoster().all())
    if (p.gone && server->hasStrokes(p.id)) {
      Row row{PLAYER, KivSettings::printable(p.name) + " (left)  " + p.address, p.id, p.address, false};
      row.gone = true;
      out.push_back(row);
    }
  // Below the player clicked: undo what it painted lately.
  for (std::size_t i = 0; i < out.size(); ++i)
    if (out[i].kind == PLAYER && !out[i].host && out[i].id == selected) {
      out.insert(out.begin() + static_cast<long>(i) + 1, Row{UNDO, "Undo last", selected, std::string(), false});
      break;
    }
  for (const std::string& address : server->getAccess().banned())
    out.push_back(Row{BANNED, "banned  " + address, 0, address, false});
  out.push_back(Row{LOCK, server->isLocked() ? "Unlock canvas" : "Lock canvas", 0, std::string(), false});
  return out;
}

int PlayerListOverlay::height() const { return 2 * PADDING + ROW_HEIGHT * static_cast<int>(rows().size() + 1); }

bool PlayerListOverlay::covers(int x, int y, int screenWidth) const {
  const int x0 = left(screenWidth);
  return open && x >= x0 && x < x0 + WIDTH && y >= TOP && y < TOP + height();
}

void PlayerListOverlay::close() {
  open = false;
  selected = 0;
}

void PlayerListOverlay::run(char typed, bool clicked, int x, int y, int screenWidth) {
  if (typed == '\t') {
    if (open)
      close();
    else
      open = true;
  }
  if (!open || !clicked || !covers(x, y, screenWidth) || !hosting()) return;
  const std::vector<Row> shown = rows();
  const int index = (y - TOP - PADDING) / ROW_HEIGHT - 1;
  if (index < 0 || index >= static_cast<int>(shown.size())) return;
  const Row& row = shown[static_cast<std::size_t>(index)];
  const int dx = x - left(screenWidth);
  KivServer* server = netSystem->getServer();
  std::string answer;
  if (row.kind == LOCK) {
    server->setLocked(!server->isLocked());
  } else if (row.kind == UNDO) {
    for (int b = 0; b < 4; ++b)
      if (dx >= UNDO_X[b] && dx < UNDO_X[b] + BUTTON_WIDTH) {
        netSystem->rollbackPlayer(row.id, UNDO_MINUTES[b], answer);
        selected = 0;
      }
  } else if (row.kind == BANNED) {
    if (dx >= BAN_X && dx < BAN_X + BUTTON_WIDTH) server->unban(row.address, answer);
  } else if (!row.host) {
    if (row.gone) {
      selected = row.id;
    } else if (selected == row.id && dx >= KICK_X && dx < KICK_X + BUTTON_WIDTH) {
      netSystem->kickPlayer(row.id, answer);
      selected = 0;
    } else if (selected == row.id && dx >= BAN_X && dx < BAN_X + BUTTON_WIDTH) {
      netSystem->banPlayer(row.id, answer);
      selected = 0;
    } else {
      selected = row.id;
    }
  }
}

void PlayerListOverlay::display(BITMAP* buffer, int screenWidth) const {
  if (!open || buffer == nullptr) return;
  FONT* f = KivSettings::getSmallFont() ? KivSettings::getSmallFont() : font;
  const int x0 = left(screenWidth);
  const int x1 = x0 + WIDTH - 1;
  const int y1 = TOP + height() - 1;
  rectfill(buffer, x0, TOP, x1, y1, palette_color[BACKGROUND_COLOR]);
  rect(buffer, x0, TOP, x1, y1, palette_color[FRAME_COLOR]);
  textout_ex(buffer, f, TITLE, x0 + PADDING, TOP + PADDING, palette_color[TITLE_COLOR], -1);
  const int textDy = (ROW_HEIGHT - text_height(f)) / 2;
  auto button = [&](int dx, int y, const char* label) {
    rect(buffer, x0 + dx, y - ROW_HEIGHT / 2 + 1, x0 + dx + BUTTON_WIDTH - 1, y + ROW_HEIGHT / 2 - 1,
         palette_color[BUTTON_COLOR]);
    textout_centre_ex(buffer, f, label, x0 + dx + BUTTON_WIDTH / 2, y - ROW_HEIGHT / 2 + textDy,
                      palette_color[TEXT_COLOR], -1);
  };
  const std::vector<Row> shown = rows();
  for (std::size_t i = 0; i < shown.size(); ++i) {
    const Row& row = shown[i];
    const int y = rowY(static_cast<int>(i));
    if (row.kind == PLAYER && row.id == selected && !row.host)
      rectfill(buffer, x0 + 1, y - ROW_HEIGHT / 2, x1 - 1, y + ROW_HEIGHT / 2 - 1, palette_color[SELECTED_COLOR]);
    if (row.kind == LOCK) {
      rect(buffer, x0 + PADDING, y - ROW_HEIGHT / 2 + 1, x0 + PADDING + text_length(f, row.text.c_str()) + 8,
           y + ROW_HEIGHT / 2 - 1, palette_color[BUTTON_COLOR]);
      textout_ex(buffer, f, row.text.c_str(), x0 + PADDING + 4, y - ROW_HEIGHT / 2 + textDy, palette_color[TEXT_COLOR],
                 -1);
      continue;
    }
    textout_ex(buffer, f, row.text.c_str(), x0 + PADDING, y - ROW_HEIGHT / 2 + textDy, palette_color[TEXT_COLOR], -1);
    if (row.kind == BANNED) button(BAN_X, y, "Unban");
    if (row.kind == UNDO) {
      const char* const labels[4] = {"1 min", "5 min", "15 min", "60 min"};
      for (int b = 0; b < 4; ++b) button(UNDO_X[b], y, labels[b]);
    }
    if (row.kind == PLAYER && row.id == selected && !row.host && !row.gone) {
      button(KICK_X, y, "Kick");
      button(BAN_X, y, "Ban");
    }
  }
}
