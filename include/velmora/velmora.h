#pragma once

// Velmora: the whole public interface in one include.

#include "velmora/avatar_editor_kit.h"
#include "velmora/avatar_helper.h"
#include "velmora/cloud_service.h"
#include "velmora/color.h"
#include "velmora/custom_color.h"
#include "velmora/encrypt_utils.h"
#include "velmora/error.h"
#include "velmora/export.h"
#include "velmora/facade.h"
#include "velmora/geometry.h"
#include "velmora/image.h"
#include "velmora/json.h"
#include "velmora/networking.h"
#include "velmora/path.h"
#include "velmora/pixel_buffer.h"
#include "velmora/platform.h"
#include "velmora/tool.h"
#include "velmora/version.h"
#include "velmora/view.h"
#include "velmora/window.h"
