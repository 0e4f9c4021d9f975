#!/bin/sh
# The picture and sound seeds of the fuzz targets, made with netpbm, libtiff and sox:
# seeds.sh <directory>. A picture seed starts with the byte that picks its reader (0 BMP,
# 1 PCX, 2 DCX, 3 TIFF; bit 2 half height, bit 3 another width).
set -e
out=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out/fuzz_picture" "$out/fuzz_wave"
cd "$work"

pbmtext -builtin fixed "Korvidan pH" > text.pbm
pgmramp -lr 48 12 > ramp.pgm
ppmrainbow -width 24 -height 8 red blue > rainbow.ppm

seed() { printf "$1" > "$out/fuzz_picture/$2"; cat "$3" >> "$out/fuzz_picture/$2"; }
ppmtobmp < text.pbm > text.bmp 2>/dev/null && seed '\000' bmp-mono text.bmp
ppmtobmp -bpp 8 < ramp.pgm > ramp.bmp 2>/dev/null && seed '\004' bmp-gray ramp.bmp
ppmtobmp -bpp 24 < rainbow.ppm > rainbow.bmp 2>/dev/null && seed '\010' bmp-rgb rainbow.bmp
ppmtopcx < text.pbm > text.pcx 2>/dev/null && seed '\001' pcx-mono text.pcx
ppmtopcx < ramp.pgm > ramp.pcx 2>/dev/null && seed '\005' pcx-gray ramp.pcx
# DCX: its signature, the offset of its one page (4100) and the rest of the 1024-entry table.
{ printf '\261\150\336\072\004\020\000\000'; head -c 4092 /dev/zero; cat text.pcx; } > text.dcx
seed '\002' dcx text.dcx
pamtotiff < text.pbm > plain.tif && seed '\003' tiff-plain plain.tif
pamtotiff -packbits < text.pbm > packbits.tif && seed '\007' tiff-packbits packbits.tif
tiffcp -c g3 plain.tif g3.tif && seed '\013' tiff-g3 g3.tif
pamtotiff < ramp.pgm > gray.tif && seed '\003' tiff-gray gray.tif

sox -n -r 8000 -b 8 -c 1 "$out/fuzz_wave/mono8.wav" synth 0.03 sine 440
sox -n -r 11025 -b 16 -c 2 "$out/fuzz_wave/stereo16.wav" synth 0.02 square 880
sox -n -r 8000 -e u-law -c 1 "$out/fuzz_wave/ulaw.wav" synth 0.01 sine 300
