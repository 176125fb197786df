#pragma once

// The media message library: Encoder packs compressed ffmpeg packets with their stream's metadata
// and codec parameters into self-contained binary messages, Decoder unpacks them again.

#include <vesk/decoder.h>
#include <vesk/encoder.h>
#include <vesk/pointer.h>
