// Internal pieces of the texture containers: the readers (one file each), the format tables
// they share and the decoders added for them (BC6H, wide and float layouts, 3D and HDR ASTC).
#ifndef QZIPVR_CONTAINER_H
#define QZIPVR_CONTAINER_H

#include <cstdint>
#include <string>

#include "texture.h"

namespace qzipvr {

// The first `avail` bytes of a file of `size` bytes.
struct Head {
  const uint8_t* p = nullptr;
  size_t avail = 0;
  uint64_t size = 0;
  uint64_t needed = 0;  // set when metadata lies in the file beyond `avail`

  // Whether bytes [offset, offset + n) are at hand. Bytes inside the file but beyond `avail`
  // raise QZIPVR_ERR_SHORT (noting `needed`); bytes past its end raise QZIPVR_ERR_DATA.
  void need(uint64_t offset, uint64_t n, const char* what);
  // Whether bytes [offset, offset + n) lie inside the file (at hand or not); QZIPVR_ERR_DATA if not.
  void inside(unsigned __int128 offset, unsigned __int128 n, const std::string& what) const;
  bool at_hand(uint64_t offset, uint64_t n) const { return offset <= avail && n <= avail - offset; }
  uint32_t u32(uint64_t offset) const { return load32(p + offset); }
  uint64_t u64(uint64_t offset) const { return u32(offset) | static_cast<uint64_t>(u32(offset + 4)) << 32; }
};

// Which image, and the 8-bit rule for floats.
struct Choice {
  int level = 0, face = 0, layer = 0, slice = 0;
  Tone tone;
};

// A refusal inside the library: a QZIPVR_ERR_* result and a short reason.
struct Refused {
  int code;
  std::string reason;
};
[[noreturn]] void refuse(int code, const std::string& reason);

// Readers. Each fills `t` for the chosen image: format, size of the chosen level, counts,
// orientation, and data_offset, the image's first byte in the file (KTX2 with
// supercompression: level_offset and image_offset instead). They check that the image lies
// inside the file, and raise Refused.
void read_pvr(Head& in, const Choice& c, Texture* t);
void read_dds(Head& in, const Choice& c, Texture* t);
void read_ktx(Head& in, const Choice& c, Texture* t);
void read_ktx2(Head& in, const Choice& c, Texture* t);
void read_astc_file(Head& in, const Choice& c, Texture* t);
void read_pkm(Head& in, const Choice& c, Texture* t);

// Shared by the readers.
// Bytes of one 2D image (one slice) of the format in `t` at w x h texels.
uint64_t image_bytes(const Texture& t, uint64_t w, uint64_t h);
// Mip level k of a side.
inline uint64_t mip(uint64_t side, int k) { return k < 64 && side >> k ? side >> k : 1; }
// Levels of a full mip chain down to 1 x 1 (x 1).
int full_chain(uint64_t w, uint64_t h, uint64_t d);
// Bytes of a level of depth d (3D ASTC: its block layers), and the offset of slice `slice`
// in it (3D ASTC: of the slice's block layer, noting slice_in_block).
unsigned __int128 volume_bytes(const Texture& t, uint64_t w, uint64_t h, uint64_t d);
uint64_t slice_offset(Texture* t, uint64_t w, uint64_t h, int slice);
// Checks the counts and the choice; sets width and height to the chosen level's.
void choose(Texture* t, uint64_t width, uint64_t height, const Choice& c);
// Facts of the stored format: bits of one block (of one texel for uncompressed layouts), and
// whether its texels carry alpha.
int block_bits(const Texture& t);
bool stores_alpha(const Texture& t);
// Codec setters.
void set_block(Texture* t, int format, const char* name, bool is_signed = false, bool srgb = false);
// ASTC footprint from its index: 0..13 the 2D sizes 4x4..12x12, 14..23 the 3D ones.
void set_astc(Texture* t, int footprint, bool srgb, bool hdr);
// Uncompressed layout from its channels, lowest bits first: a letter r g b a l x, a width,
// and a kind (none unsigned normalised, s signed normalised, h half, f float, e small
// unsigned float), or "rgb9e5" or "p8" (palette indices).
void set_wide(Texture* t, const char* spec, const char* name);
// Format tables (false when the number is not a format decoded here).
bool set_dxgi_format(Texture* t, uint32_t dxgi);
bool set_gl_format(Texture* t, uint32_t internal_format, uint32_t format, uint32_t type);
bool set_vk_format(Texture* t, uint32_t vk);
bool set_etc_pkm_type(Texture* t, uint32_t type);
// KTX key/value data from `p` (`n` bytes): orientation and swizzle.
void read_key_values(const uint8_t* p, uint64_t n, bool big_endian, bool ktx2, Texture* t);

// Decoders added for the containers; `data` holds image_bytes() bytes.
void decode_bc6h(const uint8_t* data, bool is_signed, const Tone& tone, Sink& out);
void decode_wide(const uint8_t* data, const uint8_t* palette, const Texture& t, const Tone& tone, Sink& out);
// 3D blocks (slice_in_block of each block layer) and HDR blocks; false when the codec cannot be set up.
// With `floats_out` (HDR blocks only), the codec's floats go there instead of 8-bit rows to `out`,
// of which only the size is used.
bool decode_astc_full(const uint8_t* data, const Texture& t, const Tone& tone, Sink& out,
                      FloatSink* floats_out = nullptr);
// Float pictures of the formats whose values lie beyond what 8 bits hold: BC6H, HDR and float
// layouts unclamped, signed blocks and layouts as -1..1, unsigned EAC and wide unsigned
// layouts at their full precision.
void decode_bc6h_floats(const uint8_t* data, bool is_signed, FloatSink& out);
void decode_wide_floats(const uint8_t* data, const Texture& t, FloatSink& out);
void decode_signed_floats(const uint8_t* data, const Texture& t, FloatSink& out);
// Whether any ASTC block of the image uses HDR endpoints or an HDR constant colour.
bool astc_has_hdr_blocks(const uint8_t* data, uint64_t bytes);
// BC1 blocks whose index 3 is opaque black.
void bc1_opaque(const uint8_t* block, uint8_t* rgba);

// Float values to 8 bits: clamped to 0..1 (NaN to 0) and rounded, or tone mapped.
uint8_t float_to_8(double v, const Tone& tone);
uint8_t alpha_to_8(double v);
float half_to_float(uint16_t h);

}  // namespace qzipvr

#endif  // QZIPVR_CONTAINER_H
