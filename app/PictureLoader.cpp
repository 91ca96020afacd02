// PictureLoader: the checks of a picture file, its rows decoded into the
// canvas with the palette's colours, and the newest picture of a folder.

#include "PictureLoader.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include <png.h>

#include "KivSettings.h"
#include "NetSystem.h"
#include "WorldMap.h"

// Last: its macros must not leak into the headers above.
#include <allegro.h>

namespace {

const char* const OWNER = "PictureLoader";
const int STATUS_COLOR = 80;
const unsigned char PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// Signature, then the IHDR chunk: length 13, type, width, height, depth,
// colour type, compression, filter, interlace.
const long HEADER_BYTES = 8 + 8 + 13;
const unsigned char PNG_END[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
// The palette's entries: 0 black and the swatches 1 to 100.
const int PALETTE_ENTRIES = 101;
const int RGBA = 4;

unsigned int bigEndian(const unsigned char* p) {
  return (static_cast<unsigned int>(p[0]) << 24) | (static_cast<unsigned int>(p[1]) << 16) |
         (static_cast<unsigned int>(p[2]) << 8) | p[3];
}

// The colours the canvas can hold, as its planes store them (the 6-bit
// palette components times 4), and the nearest of them for any other colour.
// A colour is looked up by its 6-bit components; all colours that share them
// get the nearest entry to their middle.
class PaletteColours {
 public:
  PaletteColours() : known(1 << 18, UNKNOWN), exact(1 << 18, false) {
    for (int i = 0; i < PALETTE_ENTRIES; ++i) {
      RGB entry;
      get_color(i, &entry);
      const int c[3] = {entry.r & 63, entry.g & 63, entry.b & 63};
      entries.push_back({c[0], c[1], c[2]});
      exact[(c[0] << 12) | (c[1] << 6) | c[2]] = true;
    }
  }

  // Makes the pixel one of the palette's colours; true if it was not.
  bool map(unsigned char* rgb) {
    const int key = ((rgb[0] >> 2) << 12) | ((rgb[1] >> 2) << 6) | (rgb[2] >> 2);
    if (((rgb[0] | rgb[1] | rgb[2]) & 3) == 0 && exact[key]) return false;
    if (known[key] == UNKNOWN) known[key] = nearest(key);
    const Entry& e = entries[known[key]];
    rgb[0] = static_cast<unsigned char>(e.r << 2);
    rgb[1] = static_cast<unsigned char>(e.g << 2);
    rgb[2] = static_cast<unsigned char>(e.b << 2);
    return true;
  }

 private:
  static constexpr unsigned char UNKNOWN = 255;
  struct Entry {
    int r, g, b;
  };

  unsigned char nearest(int key) const {
    // In quarter steps of a 6-bit component: the middle of the bucket is
    // 4 * c + 1.5, a palette component 4 * p.
    const int mid[3] = {8 * (key >> 12) + 3, 8 * ((key >> 6) & 63) + 3, 8 * (key & 63) + 3};
    long best = -1;
    int bestIndex = 0;
    for (int i = 0; i < static_cast<int>(entries.size()); ++i) {
      const long dr = mid[0] - 8 * entries[i].r, dg = mid[1] - 8 * entries[i].g, db = mid[2] - 8 * entries[i].b;
      const long d = dr * dr + dg * dg + db * db;
      if (best < 0 || d < best) {
        best = d;
        bestIndex = i;
      }
    }
    return static_cast<unsigned char>(bestIndex);
  }

  std::vector<Entry> entries;
  std::vector<unsigned char> known;
  std::vector<bool> exact;
};

struct PngErrors {
  char text[256];
};

void onPngError(png_structp png, png_const_charp message) {
  PngErrors* errors = static_cast<PngErrors*>(png_get_error_ptr(png));
  std::snprintf(errors->text, sizeof errors->text, "%s", message);
  png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp) {}

// Everything between the jump target and libpng's error jump is plain data:
// no object with a destructor is skipped when damaged data jumps back here.
// image holds every row of an interlaced picture, row one row otherwise.
bool decodeRows(png_structp png, png_infop info, std::FILE* file, WorldMap* map, int width, int height,
                unsigned char* row, unsigned char** image, unsigned char* rgb, PaletteColours* palette,
                bool* mapped) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_init_io(png, file);
  png_set_user_limits(png, static_cast<png_uint_32>(WorldMap::MAX_MAP_SIZE),
                      static_cast<png_uint_32>(WorldMap::MAX_MAP_SIZE));
  png_read_info(png, info);
  // Any kind of PNG arrives as 8-bit red, green, blue and alpha.
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_gray_to_rgb(png);
  png_set_add_alpha(png, 0xff, PNG_FILLER_AFTER);
  const int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  if (png_get_image_width(png, info) != static_cast<png_uint_32>(width) ||
      png_get_image_height(png, info) != static_cast<png_uint_32>(height) ||
      png_get_rowbytes(png, info) != static_cast<png_size_t>(width) * RGBA ||
      (passes > 1) != (image != nullptr)) {
    png_error(png, "its header changed while it was read");
  }
  if (image != nullptr) png_read_image(png, image);
  for (int y = 0; y < height; ++y) {
    unsigned char* source = image != nullptr ? image[y] : row;
    if (image == nullptr) png_read_row(png, row, nullptr);
    for (int x = 0; x < width; ++x) {
      // Transparent parts show the canvas's black.
      const unsigned int alpha = source[x * RGBA + 3];
      for (int c = 0; c < 3; ++c) rgb[x * 3 + c] = static_cast<unsigned char>(source[x * RGBA + c] * alpha / 255);
      if (palette->map(rgb + x * 3)) *mapped = true;
    }
    map->writeRow(y, rgb);
  }
  png_read_end(png, nullptr);
  return true;
}

}  // namespace

PictureLoader::PictureLoader(const std::string& p)
    : path(p), file(nullptr), pictureWidth(0), pictureHeight(0), interlaced(false), mapped(false) {}

PictureLoader::~PictureLoader() {
  if (file) std::fclose(file);
}

bool PictureLoader::fail(const std::string& why) {
  errorText = why;
  if (file) std::fclose(file);
  file = nullptr;
  return false;
}

bool PictureLoader::open() {
  if (file) std::fclose(file);
  file = std::fopen(path.c_str(), "rb");
  if (!file) {
    const int err = errno;
    return fail("Couldn't open the picture " + path + ": " +
                (err == ENOENT ? std::string("it does not exist") : std::string(std::strerror(err))));
  }
  struct stat info;
  if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode))
    return fail("Couldn't open the picture " + path + ": it is a folder");

  unsigned char header[HEADER_BYTES];
  const std::size_t got = std::fread(header, 1, sizeof header, file);
  if (got < sizeof PNG_SIGNATURE || std::memcmp(header, PNG_SIGNATURE, sizeof PNG_SIGNATURE) != 0)
    return fail("The picture " + path + " is not a PNG file");
  if (got < sizeof header || !endsWhole()) return fail("The picture " + path + " is cut short (a truncated PNG)");
  if (bigEndian(header + 8) != 13 || std::memcmp(header + 12, "IHDR", 4) != 0)
    return fail("The picture " + path + " is damaged: it has no header");

  // Checked before anything is decoded: a huge picture is refused for its
  // header alone.
  const unsigned int w = bigEndian(header + 16), h = bigEndian(header + 20);
  const std::string found = " is " + std::to_string(w) + " x " + std::to_string(h) + " pixels, and a canvas ";
  const unsigned int low = static_cast<unsigned int>(WorldMap::MIN_MAP_SIZE);
  const unsigned int high = static_cast<unsigned int>(WorldMap::MAX_MAP_SIZE);
  if (w < low || h < low)
    return fail("The picture " + path + " is too small: it" + found + "must be at least " + std::to_string(low) +
                " pixels " + (w < low ? "wide" : "high"));
  if (w > high || h > high)
    return fail("The picture " + path + " is too large: it" + found + "can be at most " + std::to_string(high) +
                " pixels " + (w > high ? "wide" : "high"));
  pictureWidth = static_cast<int>(w);
  pictureHeight = static_cast<int>(h);
  interlaced = header[28] != 0;
  std::rewind(file);
  return true;
}

bool PictureLoader::endsWhole() {
  unsigned char tail[sizeof PNG_END];
  return std::fseek(file, -static_cast<long>(sizeof tail), SEEK_END) == 0 &&
         std::fread(tail, 1, sizeof tail, file) == sizeof tail && std::memcmp(tail, PNG_END, sizeof tail) == 0;
}

bool PictureLoader::readInto(WorldMap& map) {
  if (!file) return fail("The picture " + path + " was not opened");
  if (!map.isCreated() || map.getPixelWidth() != pictureWidth || map.getPixelHeight() != pictureHeight)
    return fail("The picture " + path + " does not fit the canvas");
  PngErrors errors = {};
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &errors, onPngError, onPngWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return fail("Couldn't read the picture " + path + ": out of memory");
  }
  const std::size_t rowBytes = static_cast<std::size_t>(pictureWidth) * RGBA;
  // An interlaced picture comes in passes over the whole image, so all of it
  // is held; the others a row at a time.
  std::vector<unsigned char> pixels(interlaced ? rowBytes * pictureHeight : rowBytes);
  std::vector<unsigned char*> rows;
  if (interlaced)
    for (int y = 0; y < pictureHeight; ++y) rows.push_back(pixels.data() + rowBytes * y);
  std::vector<unsigned char> rgb(static_cast<std::size_t>(pictureWidth) * 3);
  PaletteColours palette;
  bool colours = false;
  const bool ok = decodeRows(png, info, file, &map, pictureWidth, pictureHeight, pixels.data(),
                             interlaced ? rows.data() : nullptr, rgb.data(), &palette, &colours);
  png_destroy_read_struct(&png, &info, nullptr);
  mapped = colours;
  if (!ok) return fail("The picture " + path + " is damaged: " + errors.text);
  std::fclose(file);
  file = nullptr;
  return true;
}

PictureLoader::HostResult PictureLoader::host(const std::string& typed, NetSystem& net, WorldMap& map,
                                             std::string& error) {
  const char* home = std::getenv("HOME");
  const std::string path = typed.compare(0, 2, "~/") == 0 && home ? home + typed.substr(1) : typed;
  PictureLoader picture(path);
  if (!picture.open()) {
    error = picture.error();
    return BAD_PICTURE;
  }
  if (!net.hostNewGame(static_cast<unsigned int>(picture.width()), static_cast<unsigned int>(picture.height()),
                       &map)) {
    error = net.getErrMsg();
    return NO_SESSION;
  }
  if (!picture.readInto(map)) {
    error = picture.error();
    return BAD_PICTURE;
  }
  if (picture.coloursMapped())
    KivSettings::addChatMessage(OWNER, "Colours of " + path + " mapped to the palette", STATUS_COLOR);
  return HOSTED;
}

std::string PictureLoader::newestIn(const std::string& folder, std::vector<std::string>* skipped) {
  struct Candidate {
    std::string path;
    struct timespec modified;
  };
  std::vector<Candidate> found;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return "";
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    // Hidden names are pictures still being written.
    if (name.empty() || name[0] == '.' || name.size() < 5) continue;
    std::string suffix = name.substr(name.size() - 4);
    std::transform(suffix.begin(), suffix.end(), suffix.begin(), [](unsigned char c) { return std::tolower(c); });
    if (suffix != ".png") continue;
    const std::string full = folder + "/" + name;
    struct stat info;
    if (stat(full.c_str(), &info) == 0 && S_ISREG(info.st_mode)) found.push_back({full, info.st_mtim});
  }
  closedir(dir);
  std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
    if (a.modified.tv_sec != b.modified.tv_sec) return a.modified.tv_sec > b.modified.tv_sec;
    if (a.modified.tv_nsec != b.modified.tv_nsec) return a.modified.tv_nsec > b.modified.tv_nsec;
    return a.path > b.path;
  });
  for (const Candidate& c : found) {
    PictureLoader picture(c.path);
    if (picture.open()) return c.path;
    if (skipped) skipped->push_back(picture.error());
  }
  return "";
}
