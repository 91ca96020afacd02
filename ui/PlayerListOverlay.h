#ifndef UI_PLAYERLISTOVERLAY_H
#define UI_PLAYERLISTOVERLAY_H

// PlayerListOverlay: the list of who is in the session, over the canvas.
// Tab opens and closes it. Each row is a player's name, "(host)" beside the
// host's; the host also sees each client's address. It reads the network
// facade's list every frame and keeps nothing of it. Owned by the
// GUIManager, which runs and draws it; main thread.

#include <string>
#include <vector>

#include "NetSystem.h"

struct BITMAP;

class PlayerListOverlay {
 public:
  static constexpr int WIDTH = 420;
  static constexpr int TOP = 60;
  static constexpr int ROW_HEIGHT = 16;
  static constexpr int PADDING = 8;

  // Requires: net outlives this object (it may be null: nobody is listed).
  explicit PlayerListOverlay(NetSystem* net) : netSystem(net) {}

  // One tick: typed is the key typed this tick (0 for none).
  void run(char typed, int screenWidth);
  void display(BITMAP* buffer, int screenWidth) const;
  bool isOpen() const { return open; }
  void close() { open = false; }
  // A screen point on the open overlay: clicks there do not paint.
  bool covers(int x, int y, int screenWidth) const;
  // The rows as shown, one text a row (for tests and the screen).
  std::vector<std::string> rows() const;

 private:
  int height() const;

  NetSystem* netSystem;
  bool open = false;
};

#endif  // UI_PLAYERLISTOVERLAY_H
