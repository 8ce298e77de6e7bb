// Test tooling: plain image files to compressed ones.
#include "imageZip.h"

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "mman/mmImageHeader.h"

static bool readAll(const std::string& path, std::vector<uint8_t>* bytes) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  uint8_t buffer[1 << 16];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes->insert(bytes->end(), buffer, buffer + n);
  bool bad = ferror(f) != 0;
  fclose(f);
  return !bad;
}

// The body in pieces of at most 1 GiB, since zlib counts its input in 32 bits.
static bool gzipInto(const uint8_t* body, uint64_t bytes, int level, std::vector<uint8_t>* out) {
  z_stream z;
  memset(&z, 0, sizeof z);
  if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
  std::vector<uint8_t> chunk(1 << 20);
  uint64_t offered = 0;
  int status = Z_OK;
  while (status == Z_OK) {
    if (z.avail_in == 0 && offered < bytes) {
      uint64_t piece = bytes - offered < (1u << 30) ? bytes - offered : (1u << 30);
      z.next_in = const_cast<uint8_t*>(body + offered);
      z.avail_in = uInt(piece);
      offered += piece;
    }
    z.next_out = chunk.data();
    z.avail_out = uInt(chunk.size());
    status = deflate(&z, offered == bytes ? Z_FINISH : Z_NO_FLUSH);
    out->insert(out->end(), chunk.data(), chunk.data() + (chunk.size() - z.avail_out));
  }
  deflateEnd(&z);
  return status == Z_STREAM_END;
}

std::string zipImageFile(const std::string& in, const std::string& out, int level) {
  if (level < 1 || level > 9) return "level must be 1 to 9";
  std::vector<uint8_t> file;
  if (!readAll(in, &file)) return in + ": " + strerror(errno);
  ImageHeader header;
  if (file.size() < sizeof header) return in + ": shorter than an image header";
  memcpy(&header, file.data(), sizeof header);
  if (memcmp(header.vmIdString, vmIdString, sizeof header.vmIdString) != 0) return in + ": not an image file";
  if (header.fileFormat != imagePlain) return in + ": not a plain image";
  header.fileFormat = imageGzip;
  sealImageHeader(&header);
  std::vector<uint8_t> packed(reinterpret_cast<uint8_t*>(&header), reinterpret_cast<uint8_t*>(&header) + sizeof header);
  if (!gzipInto(file.data() + sizeof header, file.size() - sizeof header, level, &packed)) return "compression failed";
  std::string temp = out + ".zip-part";
  FILE* f = fopen(temp.c_str(), "wb");
  if (f == nullptr) return temp + ": " + strerror(errno);
  bool ok = fwrite(packed.data(), 1, packed.size(), f) == packed.size();
  ok = fclose(f) == 0 && ok;
  if (ok) {
    remove(out.c_str());  // a rename does not replace an existing file everywhere
    ok = rename(temp.c_str(), out.c_str()) == 0;
  }
  if (!ok) {
    remove(temp.c_str());
    return out + ": could not be written";
  }
  return "";
}
