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

# The transfer seeds of the independent peers: a sender and a receiver of lrzsz, or two
# C-Kermits, each on a pseudo-terminal of socat, which keeps what each side put on the line.
# What the sender put there is a seed for our receiving side (byte 0 0x80), what the receiver
# put there one for our sending side (0x81); byte 1 holds our engine's options. A capture whose
# peer is missing, or that does not finish, is left out.
if command -v socat >/dev/null 2>&1 && command -v timeout >/dev/null 2>&1; then
  # Every byte value, 24 XModem blocks (no padding at the end).
  LC_ALL=C awk 'BEGIN { for (i = 0; i < 3072; i++) printf "%c", i % 256 }' > data.bin

  # keep <target> <name> <options as \ooo> <from the sender> <from the receiver>
  keep() {
    if [ -s "$4" ] && [ -s "$5" ]; then
      mkdir -p "$out/$1"
      { printf '\200'; printf "$3"; cat "$4"; } > "$out/$1/$2-receive"
      { printf '\201'; printf "$3"; cat "$5"; } > "$out/$1/$2-send"
    fi
  }
  # lrzsz <target> <name> <options> <sender> <receiver>, in a directory of its own.
  lrzsz() {
    command -v "${4%% *}" >/dev/null 2>&1 && command -v "${5%% *}" >/dev/null 2>&1 || return 0
    mkdir -p "$work/$2/s" "$work/$2/r"
    cd "$work/$2"
    cp ../data.bin s/
    if timeout 30 socat -r from-sender -R from-receiver SYSTEM:"cd '$work/$2/s' && exec $4",pty,raw,echo=0 \
      SYSTEM:"cd '$work/$2/r' && exec $5",pty,raw,echo=0 2>/dev/null && cmp -s s/data.bin r/data.bin; then
      keep "$1" "$2" "$3" from-sender from-receiver
    fi
  }
  # The captures run side by side.
  lrzsz fuzz_xmodem sx-checksum '\000' "sx -q data.bin" "rx -q data.bin" &
  lrzsz fuzz_xmodem sx-crc-1k '\003' "sx -q -k data.bin" "rx -q -c data.bin" &
  lrzsz fuzz_ymodem sb '\000' "sb -q data.bin" "rb -q" &
  lrzsz fuzz_ymodem sb-1k '\001' "sb -q -k data.bin" "rb -q" &
  lrzsz fuzz_zmodem sz '\000' "sz -q data.bin" "rz -q" &

  if command -v kermit >/dev/null 2>&1; then
    mkdir -p "$work/kermit/s" "$work/kermit/r"
    cd "$work/kermit"
    cp ../data.bin s/
    printf 'set carrier-watch off\nset transfer display none\n' > kermit.ini
    timeout 60 socat -r from-sender -R from-receiver PTY,link="$work/kermit/line-s",raw,echo=0 \
      PTY,link="$work/kermit/line-r",raw,echo=0 2>/dev/null &
    relay=$!
    # socat makes the links once it has both ends.
    t=0
    while [ ! -e line-r ] && [ $t -lt 100 ]; do sleep 0.1; t=$((t + 1)); done
    (cd r && exec timeout 30 kermit ../kermit.ini -q -l ../line-r -b 115200 -i -r >/dev/null 2>&1) &
    receiver=$!
    (cd s && timeout 30 kermit ../kermit.ini -q -l ../line-s -b 115200 -i -s data.bin >/dev/null 2>&1) || true
    wait $receiver || true
    kill $relay 2>/dev/null || true
    wait $relay 2>/dev/null || true
    if cmp -s s/data.bin r/data.bin; then keep fuzz_kermit ckermit '\000' from-sender from-receiver; fi
  fi
  wait
fi
