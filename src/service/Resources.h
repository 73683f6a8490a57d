// The agent executable's resources: string table and version. The Windows build compiles them into the
// image from win32/tlv-velocyn-ga.rc; the simulated build registers the same data with its loader.
// Plain preprocessor definitions, so that the resource compiler reads this file too.
#pragma once

#include "service/BuildInfo.h"

#define IDS_SERVICENAME 100
#define IDS_DISPLAYNAME 101

#define VELOCYN_SERVICE_NAME_TEXT "tlv-velocyn-ga"
#define VELOCYN_DISPLAY_NAME_TEXT "Talvora Quorvel Velocyn Agent"
#define VELOCYN_COMPANY_TEXT "Talvora"
#define VELOCYN_PRODUCT_TEXT "Velocyn Agent"
