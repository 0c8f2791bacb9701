// The launcher's version tag (version_tag.h). Nothing reads it at run time:
// the link keeps it because bklaunch's link names it (--require-defined).
#include "launcher/version_tag.h"

#include "bk_version.h"

extern "C" const char bklaunch_version_tag[] = VERSION_TAG_PREFIX BK_VERSION;
