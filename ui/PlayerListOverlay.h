#ifndef UI_PLAYERLISTOVERLAY_H
#define UI_PLAYERLISTOVERLAY_H

// PlayerListOverlay: the list of who is in the session, over the canvas.
// Tab opens and closes it. Each row is a player's name, "(host)" beside the
// host's; the host also sees each client's address, and moderates here:
// clicking a player offers "Kick" and "Ban" on its row and, on a row below
// it, undoing everything it painted in the last 1, 5, 15 or 60 minutes;
// players who left are listed "(left)" while the host still holds strokes of
// theirs, to be undone that way. The last rows list the banned addresses
// with "Unban" and offer "Lock canvas" (or "Unlock canvas"). It reads the network facade every frame and keeps nothing of
// it but the player clicked. Owned by the GUIManager, which runs and draws
// it; main thread.

#include <string>
#include <vector>

#include "NetSystem.h"

struct BITMAP;

class PlayerListOverlay {
 public:
  static constexpr int WIDTH = 460;
  static constexpr int TOP = 60;
  static constexpr int ROW_HEIGHT = 18;
  static constexpr int PADDING = 8;
  // The buttons' left edges from the overlay's left edge, and their width.
  static constexpr int KICK_X = 330;
  static constexpr int BAN_X = 395;
  static constexpr int BUTTON_WIDTH = 56;
  // The rollback buttons of the row below a selected player.
  static constexpr int UNDO_X[4] = {150, 225, 300, 375};
  static constexpr unsigned int UNDO_MINUTES[4] = {1, 5, 15, 60};

  // Requires: net outlives this object (it may be null: nobody is listed).
  explicit PlayerListOverlay(NetSystem* net) : netSystem(net) {}

  // One tick: typed is the key typed this tick (0 for none), clicked
  // whether the left button was clicked at (x, y).
  void run(char typed, bool clicked, int x, int y, int screenWidth);
  void display(BITMAP* buffer, int screenWidth) const;
  bool isOpen() const { return open; }
  void close();
  // A screen point on the open overlay: clicks there do not paint.
  bool covers(int x, int y, int screenWidth) const;

  enum RowKind { PLAYER, UNDO, BANNED, LOCK };
  struct Row {
    RowKind kind;
    std::string text;     // as shown
    unsigned int id;      // PLAYER
    std::string address;  // PLAYER (on the host), BANNED
    bool host;
    bool gone = false;    // PLAYER: listed for its strokes only
  };
  // The rows under the title, as shown now.
  std::vector<Row> rows() const;
  // The screen row (its vertical middle) of row index i.
  static int rowY(int i) { return TOP + PADDING + ROW_HEIGHT * (i + 1) + ROW_HEIGHT / 2; }
  static int left(int screenWidth) { return (screenWidth - WIDTH) / 2; }
  // The player clicked last, while still listed (0: none).
  unsigned int getSelected() const { return selected; }

 private:
  bool hosting() const;
  int height() const;

  NetSystem* netSystem;
  unsigned int selected = 0;
  bool open = false;
};

#endif  // UI_PLAYERLISTOVERLAY_H
