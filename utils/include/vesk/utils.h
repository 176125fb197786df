#pragma once

// Everything of the utility library: cryptography (vesk::ssl), file operations (vesk::file) and
// the ffmpeg error texts (vesk::AvError).

#include <vesk/averror.h>
#include <vesk/file/fileattribute.h>
#include <vesk/file/fileoperations.h>
#include <vesk/ssl/aesgcm.h>
#include <vesk/ssl/crypto.h>
#include <vesk/ssl/encrypteddatagcm.h>
#include <vesk/ssl/error.h>
#include <vesk/ssl/evppkeycleaner.h>
#include <vesk/ssl/privatekey.h>
#include <vesk/ssl/publickey.h>
#include <vesk/ssl/sharedkey.h>
#include <vesk/ssl/signingkey.h>
#include <vesk/ssl/verifyingkey.h>
