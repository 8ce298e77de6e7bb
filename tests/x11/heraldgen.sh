# Test tooling: writes the C source of a herald picture file and builds it as a shared
# library with the C compiler ($CC, else cc).
#   heraldgen.sh KIND OUT.so
# KIND good: 32 x 16 pixels of depth 4 in four vertical stripes of 8 pixels, palette red,
# green, blue, white; depth8: the same saying depth 8; nomono: without splash_mono_bits.
set -u
kind=$1 out=$2
src="${out%.so}.c"
depth=4
[ "$kind" = depth8 ] && depth=8
{
  echo "int splash_width = 32, splash_height = 16, splash_depth = $depth, splash_bitmap_pad = 32;"
  echo "int splash_palette_entries = 4, splash_share_palette = 1;"
  echo "unsigned short splash_palette[] = {65535,0,0, 0,65535,0, 0,0,65535, 65535,65535,65535};"
  # A row: 8 pixels of each of 0, 1, 2, 3 at two pixels a byte (16 bytes, a multiple of 4).
  row="0x00,0x00,0x00,0x00,0x11,0x11,0x11,0x11,0x22,0x22,0x22,0x22,0x33,0x33,0x33,0x33"
  printf 'unsigned char splash_bits[] = {'
  for i in $(seq 16); do printf '%s,' "$row"; done
  echo '};'
  if [ "$kind" != nomono ]; then
    printf 'unsigned char splash_mono_bits[] = {'
    for i in $(seq 16); do printf '0x00,0xFF,0x00,0xFF,'; done
    echo '};'
  fi
} >"$src"
${CC:-cc} -shared -fPIC -o "$out" "$src"
