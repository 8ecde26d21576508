#pragma once

// Velmora: the whole public interface in one include.

#include "velmora/encrypt_utils.h"
#include "velmora/error.h"
#include "velmora/export.h"
#include "velmora/geometry.h"
#include "velmora/image.h"
#include "velmora/json.h"
#include "velmora/platform.h"
#include "velmora/tool.h"
#include "velmora/version.h"
#include "velmora/window.h"
