#pragma once

// The playlist library: the playlist model, the playlist.ini parser and the schedule generator.
#include <vesk/playlist/generator.h>
#include <vesk/playlist/playlist.h>
#include <vesk/playlist/playlistparser.h>
