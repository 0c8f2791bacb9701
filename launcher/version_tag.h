// The launcher's version tag: the text "BKLAUNCH " and the version (for
// example "BKLAUNCH 1.2.0"), NUL-terminated, in the launcher's read-only
// data. The launcher carries no version resource; bkpack finds this text
// instead, in the part of a package before its resources (so neither the
// carried installer nor the book can pass for it).
#pragma once

#define VERSION_TAG_PREFIX "BKLAUNCH "
