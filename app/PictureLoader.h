#ifndef APP_PICTURELOADER_H
#define APP_PICTURELOADER_H

// PictureLoader: starts a hosted session from a PNG picture. open() checks
// the file before anything is decoded (readable, a PNG, not cut short, 1600
// to 10000 pixels a side) and readInto() decodes it a row at a time into the
// canvas, so a picture costs no memory beside the canvas. Pixels in the
// palette's colours keep their exact bytes (a picture Brelvin saved comes
// back with every segment CRC equal); any other colour becomes the nearest of
// the palette. Every error text names the file. Used by the game engine, the
// headless host and the tools; main thread only.
// Requires: Allegro installed and the program's palette set.

#include <cstdio>
#include <string>
#include <vector>

class NetSystem;
class WorldMap;

class PictureLoader {
 public:
  explicit PictureLoader(const std::string& path);
  ~PictureLoader();
  PictureLoader(const PictureLoader&) = delete;
  PictureLoader& operator=(const PictureLoader&) = delete;

  // False with error() when the file cannot be a canvas.
  bool open();
  int width() const { return pictureWidth; }
  int height() const { return pictureHeight; }

  // Decodes the opened picture into map, which must have been created at
  // width() x height(); false with error() when its data is damaged (the
  // rows before the damage stay written).
  bool readInto(WorldMap& map);
  // Whether readInto() met colours that are not the palette's.
  bool coloursMapped() const { return mapped; }
  const std::string& error() const { return errorText; }

  enum HostResult { HOSTED, BAD_PICTURE, NO_SESSION };
  // Hosts on net a session whose canvas is the picture at path ("~/" is the
  // home folder), with the status line "Colours of <path> mapped to the
  // palette" when that was needed. Otherwise the reason is in error: the
  // picture's (BAD_PICTURE) or the session's (NO_SESSION); net then needs
  // resetVariables() as after any failed hostNewGame().
  static HostResult host(const std::string& path, NetSystem& net, WorldMap& map, std::string& error);

  // The newest .png of folder (by modification time) that opens; "" when
  // there is none. Each newer one that does not open adds its error to
  // skipped, when given.
  static std::string newestIn(const std::string& folder, std::vector<std::string>* skipped = nullptr);

 private:
  bool fail(const std::string& why);
  // The end of a whole PNG: its last chunk is an empty IEND.
  bool endsWhole();

  std::string path;
  std::string errorText;
  std::FILE* file;
  int pictureWidth;
  int pictureHeight;
  bool interlaced;
  bool mapped;
};

#endif  // APP_PICTURELOADER_H
