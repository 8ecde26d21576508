#pragma once

// Velmora: the whole public interface in one include.

#include "velmora/avatar_helper.h"
#include "velmora/avatar_model.h"
#include "velmora/cloud_service.h"
#include "velmora/encrypt_utils.h"
#include "velmora/error.h"
#include "velmora/export.h"
#include "velmora/geometry.h"
#include "velmora/image.h"
#include "velmora/json.h"
#include "velmora/networking.h"
#include "velmora/pixel_buffer.h"
#include "velmora/platform.h"
#include "velmora/resource_factory.h"
#include "velmora/resource_kit.h"
#include "velmora/tool.h"
#include "velmora/version.h"
#include "velmora/window.h"
