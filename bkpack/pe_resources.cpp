// The resource section rebuilt from scratch: the old tree is read into a flat
// list of resources, the icon group and installer are swapped in the list,
// and a new section is written from it (directories, data entries, names,
// then the data, each 8-aligned). Only the resource section and the
// relocations after it change place or size; the rest of the image is copied.
#include "bkpack/pe_resources.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "package/le32.h"
#include "platform/text.h"

#define PERES_LEAF_MAX 4096u     // resources kept from the launcher
#define PERES_VISIT_MAX 65536u   // entries walked: shared subdirectories can't multiply the walk
#define PERES_HIGH 0x80000000u   // a name's or a subdirectory's offset
#define PERES_OFFSET_MAX 0x7FFFFFFFu
#define PERES_RT_ICON 3u
#define PERES_RT_GROUP_ICON 14u
#define PERES_RT_MANIFEST 24u
#define PERES_DIR_RESOURCE 2u
#define PERES_DIR_SECURITY 4u
#define PERES_DIR_BASERELOC 5u
#define PERES_ICO_ENTRY 16u
#define PERES_GROUP_ENTRY 14u
#define PERES_GROUP_MAX (6u + PERES_GROUP_ENTRY * PERES_ICON_MAX)

static const uint8_t PERES_PNG[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// A resource type or name: a number, or UTF-16LE text of LENGTH units.
struct PeresKey {
  uint32_t id;
  const uint8_t *text;
  uint32_t length;
};

struct PeresLeaf {
  PeresKey type;
  PeresKey name;
  uint32_t lang;
  uint32_t codepage;
  const uint8_t *data;
  uint32_t size;
};

struct PeresSection {
  uint32_t header_at;
  uint32_t virtual_size;
  uint32_t va;
  uint32_t raw_size;
  uint32_t raw_at;
};

struct PeresLayout {
  uint32_t opt_at;
  uint32_t dirs_at;
  uint32_t symbols_field_at;  // the file header's PointerToSymbolTable
  uint32_t file_align;
  uint32_t section_align;
  PeresSection rsrc;
  PeresSection reloc;
  int has_reloc;
  uint32_t rsrc_bytes;    // the part of the resource section that is read
  uint32_t sections_end;  // file offset where the last section's bytes end
  uint32_t cert_at;
  uint32_t cert_size;
};

struct PeresTree {
  uint32_t count;
  uint32_t visits;
  PeresLeaf leaves[PERES_LEAF_MAX + PERES_ICON_MAX];
  uint8_t group[PERES_GROUP_MAX];
  uint8_t kept_ids[65536 / 8];  // RT_ICON names still in use
};

static uint32_t peres_u16(const uint8_t *p) { return (uint32_t)p[0] | ((uint32_t)p[1] << 8); }

static void peres_put16(uint8_t *p, uint32_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
}

static int peres_fail(char *why, const char *text) {
  text_copy(why, PERES_WHY_CAP, text);
  return 0;
}

// The same with one or two numbers in TEXT (a snprintf format).
static int peres_failf(char *why, const char *text, unsigned a, unsigned b) {
  snprintf(why, PERES_WHY_CAP, text, a, b);
  return 0;
}

// 1 when N bytes at AT lie inside SIZE bytes.
static int peres_inside(uint64_t at, uint64_t n, uint64_t size) { return at <= size && n <= size - at; }

static uint64_t peres_align(uint64_t v, uint32_t a) { return (v + a - 1) & ~(uint64_t)(a - 1); }

static int peres_power_of_two(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// ---- Headers --------------------------------------------------------------

static void peres_section_read(const uint8_t *pe, uint32_t at, PeresSection *s) {
  s->header_at = at;
  s->virtual_size = le32_decode(pe + at + 8);
  s->va = le32_decode(pe + at + 12);
  s->raw_size = le32_decode(pe + at + 16);
  s->raw_at = le32_decode(pe + at + 20);
}

static uint32_t peres_dir_va(const uint8_t *pe, const PeresLayout *l, uint32_t i) {
  return le32_decode(pe + l->dirs_at + 8 * i);
}

static uint32_t peres_dir_size(const uint8_t *pe, const PeresLayout *l, uint32_t i) {
  return le32_decode(pe + l->dirs_at + 8 * i + 4);
}

// The base relocations must all patch places before the resources, which
// stay where they are; the relocation blocks themselves may move.
static int peres_check_relocations(const uint8_t *pe, const PeresLayout *l, char *why) {
  uint32_t va = peres_dir_va(pe, l, PERES_DIR_BASERELOC);
  uint32_t size = peres_dir_size(pe, l, PERES_DIR_BASERELOC);
  if (va == 0 && size == 0) return 1;
  if (!l->has_reloc || va < l->reloc.va || !peres_inside(va - l->reloc.va, size, l->reloc.raw_size))
    return peres_fail(why, "its base relocations lie outside their section");
  const uint8_t *p = pe + l->reloc.raw_at + (va - l->reloc.va);
  uint32_t at = 0;
  while (size - at >= 8) {
    uint32_t page = le32_decode(p + at);
    uint32_t block = le32_decode(p + at + 4);
    if (block < 8 || block > size - at) return peres_fail(why, "its base relocations are malformed");
    for (uint32_t e = 8; e + 2 <= block; e += 2) {
      uint32_t entry = peres_u16(p + at + e);
      if ((entry >> 12) != 0 && (uint64_t)page + (entry & 0xFFFu) + 4 > l->rsrc.va)
        return peres_fail(why, "a base relocation patches the resources or what follows them");
    }
    at += block;
  }
  return 1;
}

// Reads and checks the headers: a PE32 for i386 whose resource section is
// the last one, or last but for the base relocations.
static int peres_layout(const uint8_t *pe, uint32_t size, PeresLayout *l, char *why) {
  memset(l, 0, sizeof *l);
  if (size < 64) return peres_fail(why, "not a Windows program (too short for an MZ header)");
  if (pe[0] != 'M' || pe[1] != 'Z') return peres_fail(why, "not a Windows program (no MZ header)");
  uint32_t nt = le32_decode(pe + 0x3C);
  if (!peres_inside(nt, 24, size) || memcmp(pe + nt, "PE\0\0", 4) != 0)
    return peres_fail(why, "not a Windows program (no PE header)");
  uint32_t machine = peres_u16(pe + nt + 4);
  uint32_t section_count = peres_u16(pe + nt + 6);
  uint32_t opt_size = peres_u16(pe + nt + 20);
  l->symbols_field_at = nt + 12;  // after the machine, section count and time stamp
  l->opt_at = nt + 24;
  if (!peres_inside(l->opt_at, 96, size) || peres_u16(pe + l->opt_at) != 0x10B || machine != 0x14C)
    return peres_fail(why, "not a 32-bit Windows program (PE32 for i386)");
  uint32_t dir_count = le32_decode(pe + l->opt_at + 92);
  if (dir_count <= PERES_DIR_BASERELOC || dir_count > 16 || opt_size < 96 + 8 * dir_count ||
      !peres_inside(l->opt_at, opt_size, size))
    return peres_fail(why, "its optional header is malformed");
  l->dirs_at = l->opt_at + 96;
  uint32_t sections_at = l->opt_at + opt_size;
  if (section_count == 0 || !peres_inside(sections_at, 40ull * section_count, size))
    return peres_fail(why, "its section table runs past the end of the file");
  l->section_align = le32_decode(pe + l->opt_at + 32);
  l->file_align = le32_decode(pe + l->opt_at + 36);
  if (!peres_power_of_two(l->file_align) || l->file_align > 0x10000 ||
      !peres_power_of_two(l->section_align) || l->section_align < l->file_align)
    return peres_fail(why, "its section or file alignment is malformed");

  uint32_t rsrc_va = peres_dir_va(pe, l, PERES_DIR_RESOURCE);
  if (rsrc_va == 0) return peres_fail(why, "has no resources");
  uint32_t r = section_count;
  for (uint32_t i = 0; i < section_count; ++i) {
    PeresSection s;
    peres_section_read(pe, sections_at + 40 * i, &s);
    if (s.va == rsrc_va) r = i;
  }
  if (r == section_count) return peres_fail(why, "its resources do not begin a section");
  peres_section_read(pe, sections_at + 40 * r, &l->rsrc);
  l->has_reloc = r + 2 == section_count;
  if (l->has_reloc) {
    peres_section_read(pe, sections_at + 40 * (r + 1), &l->reloc);
    uint32_t reloc_va = peres_dir_va(pe, l, PERES_DIR_BASERELOC);
    if (reloc_va < l->reloc.va || reloc_va == 0)
      return peres_fail(why, "a section other than the base relocations follows its resources");
  } else if (r + 1 != section_count) {
    return peres_fail(why,
                      "its resource section is not the last one (only the base relocations may "
                      "follow it), so it can't grow");
  }
  if (!peres_inside(l->rsrc.raw_at, l->rsrc.raw_size, size))
    return peres_fail(why, "its resource section runs past the end of the file");
  // Every field patched lies in the headers, which are copied as they are:
  // they must end where the new section (and the relocations after it) begin.
  if (sections_at + 40 * section_count > l->rsrc.raw_at)
    return peres_fail(why, "its resource section's bytes begin inside its headers");
  l->rsrc_bytes = l->rsrc.raw_size;
  if (l->rsrc.virtual_size != 0 && l->rsrc.virtual_size < l->rsrc_bytes)
    l->rsrc_bytes = l->rsrc.virtual_size;
  l->sections_end = l->rsrc.raw_at + l->rsrc.raw_size;
  if (l->has_reloc && l->reloc.raw_size > 0) {
    if (l->reloc.va <= l->rsrc.va || l->reloc.raw_at < l->sections_end ||
        !peres_inside(l->reloc.raw_at, l->reloc.raw_size, size))
      return peres_fail(why, "its base relocation section is out of place");
    l->sections_end = l->reloc.raw_at + l->reloc.raw_size;
  }
  for (uint32_t i = 0; i < section_count; ++i) {
    PeresSection s;
    peres_section_read(pe, sections_at + 40 * i, &s);
    if (i == r || (l->has_reloc && i == r + 1)) continue;
    if ((uint64_t)s.va + s.virtual_size > rsrc_va ||
        (s.raw_size > 0 && (uint64_t)s.raw_at + s.raw_size > l->rsrc.raw_at))
      return peres_fail(why, "a section lies after its resources");
  }
  for (uint32_t i = 0; i < dir_count; ++i) {
    uint32_t va = peres_dir_va(pe, l, i);
    if (i == PERES_DIR_RESOURCE || i == PERES_DIR_SECURITY || va == 0) continue;
    if (i == PERES_DIR_BASERELOC && l->has_reloc) continue;
    if ((uint64_t)va + peres_dir_size(pe, l, i) > rsrc_va) {
      return peres_failf(why, "its data directory %u lies in or after its resources", i, 0);
    }
  }
  if (le32_decode(pe + l->opt_at + 16) >= rsrc_va)
    return peres_fail(why, "its entry point lies in or after its resources");
  l->cert_at = peres_dir_va(pe, l, PERES_DIR_SECURITY);
  l->cert_size = peres_dir_size(pe, l, PERES_DIR_SECURITY);
  if ((l->cert_at != 0 || l->cert_size != 0) &&
      (l->cert_at < l->sections_end || !peres_inside(l->cert_at, l->cert_size, size)))
    return peres_fail(why, "its certificate table lies outside the bytes after its sections");
  // A symbol table after the sections moves with the bytes there.
  uint32_t symbols = le32_decode(pe + l->symbols_field_at);
  if (symbols > size) return peres_fail(why, "its symbol table lies past the end of the file");
  if (symbols != 0 && symbols >= l->rsrc.raw_at &&
      (symbols < l->sections_end ||
       (l->cert_size != 0 && symbols >= l->cert_at && symbols - l->cert_at < l->cert_size)))
    return peres_fail(why, "its symbol table lies inside its resources or signature");
  return peres_check_relocations(pe, l, why);
}

// ---- The resource tree ----------------------------------------------------

static int peres_key_read(const uint8_t *rs, uint32_t rs_size, uint32_t field, PeresKey *key) {
  key->id = 0;
  key->text = NULL;
  key->length = 0;
  if (!(field & PERES_HIGH)) {
    key->id = field;
    return 1;
  }
  uint32_t at = field & ~PERES_HIGH;
  if (!peres_inside(at, 2, rs_size)) return 0;
  key->length = peres_u16(rs + at);
  key->text = rs + at + 2;
  return peres_inside(at + 2, 2ull * key->length, rs_size);
}

// Reads the directory at AT of level LEVEL (0 types, 1 names, 2 languages)
// into TREE's leaves; PATH holds the type and name above.
static int peres_walk(const uint8_t *rs, uint32_t rs_size, uint32_t rs_va, uint32_t at, int level,
                      PeresKey *path, PeresTree *tree, char *why) {
  if (!peres_inside(at, 16, rs_size))
    return peres_fail(why, "a resource directory lies outside the resource section");
  uint32_t count = peres_u16(rs + at + 12) + peres_u16(rs + at + 14);
  if (!peres_inside(at + 16, 8ull * count, rs_size))
    return peres_fail(why, "a resource directory runs past the resource section");
  for (uint32_t i = 0; i < count; ++i) {
    if (++tree->visits > PERES_VISIT_MAX) return peres_fail(why, "too many resource entries");
    const uint8_t *e = rs + at + 16 + 8 * i;
    uint32_t name = le32_decode(e);
    uint32_t target = le32_decode(e + 4);
    if (level < 2) {
      if (!(target & PERES_HIGH)) return peres_fail(why, "a resource entry lacks its directory");
      if (!peres_key_read(rs, rs_size, name, &path[level]))
        return peres_fail(why, "a resource name lies outside the resource section");
      if (!peres_walk(rs, rs_size, rs_va, target & ~PERES_HIGH, level + 1, path, tree, why))
        return 0;
      continue;
    }
    if ((target & PERES_HIGH) || (name & PERES_HIGH))
      return peres_fail(why, "a resource is nested deeper than type, name and language");
    if (!peres_inside(target, 16, rs_size))
      return peres_fail(why, "a resource data entry lies outside the resource section");
    uint32_t rva = le32_decode(rs + target);
    uint32_t size = le32_decode(rs + target + 4);
    if (rva < rs_va || !peres_inside(rva - rs_va, size, rs_size))
      return peres_fail(why, "a resource's data lies outside the resource section");
    if (tree->count >= PERES_LEAF_MAX) return peres_fail(why, "too many resources");
    PeresLeaf *leaf = &tree->leaves[tree->count++];
    leaf->type = path[0];
    leaf->name = path[1];
    leaf->lang = name;
    leaf->codepage = le32_decode(rs + target + 8);
    leaf->data = rs + (rva - rs_va);
    leaf->size = size;
  }
  return 1;
}

// Names before numbers; names by UTF-16 unit, as the loader's search expects.
static int peres_key_compare(const PeresKey *a, const PeresKey *b) {
  if ((a->text != NULL) != (b->text != NULL)) return a->text != NULL ? -1 : 1;
  if (a->text == NULL) return a->id < b->id ? -1 : a->id > b->id;
  uint32_t n = a->length < b->length ? a->length : b->length;
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t ua = peres_u16(a->text + 2 * i);
    uint32_t ub = peres_u16(b->text + 2 * i);
    if (ua != ub) return ua < ub ? -1 : 1;
  }
  return a->length < b->length ? -1 : a->length > b->length;
}

static int peres_leaf_compare(const void *pa, const void *pb) {
  const PeresLeaf *a = (const PeresLeaf *)pa;
  const PeresLeaf *b = (const PeresLeaf *)pb;
  int c = peres_key_compare(&a->type, &b->type);
  if (c == 0) c = peres_key_compare(&a->name, &b->name);
  if (c == 0) c = a->lang < b->lang ? -1 : a->lang > b->lang;
  return c;
}

// Reads the resource tree into TREE's leaves, in the loader's order. A key
// listed twice is refused: the loader's binary search would find either.
static int peres_read_tree(const uint8_t *pe, const PeresLayout *l, PeresTree *tree, char *why) {
  PeresKey path[2];
  tree->count = 0;
  tree->visits = 0;
  if (!peres_walk(pe + l->rsrc.raw_at, l->rsrc_bytes, l->rsrc.va, 0, 0, path, tree, why)) return 0;
  qsort(tree->leaves, tree->count, sizeof tree->leaves[0], peres_leaf_compare);
  for (uint32_t i = 1; i < tree->count; ++i) {
    if (peres_leaf_compare(&tree->leaves[i - 1], &tree->leaves[i]) == 0)
      return peres_fail(why, "its resources list one type, name and language twice");
  }
  return 1;
}

// 1 when KEY is the text ASCII (as compilers store names: upper case).
static int peres_key_is(const PeresKey *key, const char *ascii) {
  uint32_t n = (uint32_t)strlen(ascii);
  if (key->text == NULL || key->length != n) return 0;
  for (uint32_t i = 0; i < n; ++i)
    if (peres_u16(key->text + 2 * i) != (uint8_t)ascii[i]) return 0;
  return 1;
}

static int peres_is_group(const PeresLeaf *leaf) {
  return leaf->type.text == NULL && leaf->type.id == PERES_RT_GROUP_ICON &&
         peres_key_is(&leaf->name, "IDI_ICON1");
}

static int peres_is_installer(const PeresLeaf *leaf) {
  return peres_key_is(&leaf->type, "ZUX") && peres_key_is(&leaf->name, "INSTPLUG");
}

static int peres_is_icon(const PeresLeaf *leaf, uint32_t id) {
  return leaf->type.text == NULL && leaf->type.id == PERES_RT_ICON && leaf->name.text == NULL &&
         leaf->name.id == id;
}

// The image IDs that a group's data lists, into IDS (a bit set); 0 when the
// data is too short for its count.
static int peres_group_ids(const PeresLeaf *group, uint8_t *ids) {
  if (group->size < 6) return 0;
  uint32_t count = peres_u16(group->data + 4);
  if ((group->size - 6) / PERES_GROUP_ENTRY < count) return 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t id = peres_u16(group->data + 6 + PERES_GROUP_ENTRY * i + 12);
    ids[id / 8] |= (uint8_t)(1u << (id % 8));
  }
  return 1;
}

static int peres_bit(const uint8_t *ids, uint32_t id) { return (ids[id / 8] >> (id % 8)) & 1; }

// ---- The .ico file --------------------------------------------------------

// Checks ICO; returns its image count, or 0 with WHY.
static uint32_t peres_ico_check(const uint8_t *ico, uint32_t size, char *why) {
  if (size < 6 || peres_u16(ico) != 0 || peres_u16(ico + 2) != 1)
    return peres_fail(why, "not an icon file (its header is not that of an .ico)");
  uint32_t count = peres_u16(ico + 4);
  if (count == 0) return peres_fail(why, "the icon file has no images");
  if (count > PERES_ICON_MAX) {
    return peres_failf(why, "the icon file has %u images; an icon holds at most %u", count,
                       PERES_ICON_MAX);
  }
  uint32_t images_at = 6 + PERES_ICO_ENTRY * count;
  if (images_at > size) {
    return peres_failf(why, "the icon file is truncated: its list of %u images runs past its end",
                       count, 0);
  }
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t *e = ico + 6 + PERES_ICO_ENTRY * i;
    uint32_t bytes = le32_decode(e + 8);
    uint32_t at = le32_decode(e + 12);
    const char *fault = NULL;
    if (bytes == 0)
      fault = "is empty";
    else if (at < images_at || !peres_inside(at, bytes, size))
      fault = "runs past the end of the file (or into its list of images)";
    else if (!(bytes >= 8 && memcmp(ico + at, PERES_PNG, 8) == 0) &&
             !(bytes >= 40 && le32_decode(ico + at) >= 40 && le32_decode(ico + at) <= 124))
      fault = "is neither a PNG nor a bitmap";
    if (fault != NULL) {
      snprintf(why, PERES_WHY_CAP, "image %u of the icon file %s", (unsigned)(i + 1), fault);
      return 0;
    }
  }
  return count;
}

// Replaces the icon group IDI_ICON1 and the images only it lists with the
// images of ICO: new image IDs are the lowest free ones. Each language of the
// group gets the images in its own language, under the same IDs, so that the
// group the loader picks finds its images whichever language it prefers.
static int peres_swap_icon(PeresTree *tree, const uint8_t *ico, uint32_t ico_size, int *result,
                           char *why) {
  *result = PERES_BAD_ICON;
  uint32_t count = peres_ico_check(ico, ico_size, why);
  if (count == 0) return 0;
  *result = PERES_BAD_LAUNCHER;
  uint8_t old_ids[65536 / 8];
  memset(old_ids, 0, sizeof old_ids);
  memset(tree->kept_ids, 0, sizeof tree->kept_ids);
  uint32_t languages = 0;
  for (uint32_t i = 0; i < tree->count; ++i) {
    const PeresLeaf *leaf = &tree->leaves[i];
    if (leaf->type.text != NULL || leaf->type.id != PERES_RT_GROUP_ICON) continue;
    if (!peres_group_ids(leaf, peres_is_group(leaf) ? old_ids : tree->kept_ids))
      return peres_fail(why, "an icon group of it is malformed");
    languages += peres_is_group(leaf);
  }
  if (languages == 0) return peres_fail(why, "has no icon group IDI_ICON1");

  // Drop the old images, note the IDs still taken, then add the new ones.
  uint32_t kept = 0;
  for (uint32_t i = 0; i < tree->count; ++i) {
    PeresLeaf *leaf = &tree->leaves[i];
    int icon = leaf->type.text == NULL && leaf->type.id == PERES_RT_ICON && leaf->name.text == NULL;
    uint32_t id = leaf->name.id & 0xFFFFu;
    if (icon && leaf->name.id <= 0xFFFFu && peres_bit(old_ids, id) && !peres_bit(tree->kept_ids, id))
      continue;
    if (icon && leaf->name.id <= 0xFFFFu) tree->kept_ids[id / 8] |= (uint8_t)(1u << (id % 8));
    tree->leaves[kept++] = *leaf;
  }
  tree->count = kept;
  if (kept + count * languages > PERES_LEAF_MAX + PERES_ICON_MAX)
    return peres_fail(why, "has no room for the icon's images in each of its languages");

  uint8_t *group = tree->group;
  peres_put16(group, 0);
  peres_put16(group + 2, 1);
  peres_put16(group + 4, count);
  uint32_t id = 0;
  for (uint32_t i = 0; i < count; ++i) {
    do {
      ++id;
    } while (id <= 0xFFFFu && peres_bit(tree->kept_ids, id));
    if (id > 0xFFFFu) return peres_fail(why, "has no free icon image IDs left");
    uint8_t *g = group + 6 + PERES_GROUP_ENTRY * i;
    memcpy(g, ico + 6 + PERES_ICO_ENTRY * i, 12);  // size, colours, planes, bits, byte count
    peres_put16(g + 12, id);
  }
  for (uint32_t i = 0; i < kept; ++i) {
    if (!peres_is_group(&tree->leaves[i])) continue;
    tree->leaves[i].data = group;
    tree->leaves[i].size = 6 + PERES_GROUP_ENTRY * count;
    for (uint32_t j = 0; j < count; ++j) {
      const uint8_t *e = ico + 6 + PERES_ICO_ENTRY * j;
      PeresLeaf *leaf = &tree->leaves[tree->count++];
      memset(leaf, 0, sizeof *leaf);
      leaf->type.id = PERES_RT_ICON;
      leaf->name.id = peres_u16(group + 6 + PERES_GROUP_ENTRY * j + 12);
      leaf->lang = tree->leaves[i].lang;
      leaf->data = ico + le32_decode(e + 12);
      leaf->size = le32_decode(e + 8);
    }
  }
  *result = PERES_OK;
  return 1;
}

// ---- Writing the section --------------------------------------------------

static uint32_t peres_same_key_end(const PeresTree *tree, uint32_t from, uint32_t to, int level) {
  uint32_t end = from + 1;
  while (end < to) {
    const PeresLeaf *a = &tree->leaves[from];
    const PeresLeaf *b = &tree->leaves[end];
    if (peres_key_compare(&a->type, &b->type) != 0) break;
    if (level == 1 && peres_key_compare(&a->name, &b->name) != 0) break;
    ++end;
  }
  return end;
}

static uint32_t peres_string_size(const PeresKey *key) {
  return key->text != NULL ? 2 + 2 * key->length : 0;
}

// The directory field for KEY: its number, or its text written at *CURSOR.
static uint32_t peres_key_write(uint8_t *rs, uint32_t *cursor, const PeresKey *key) {
  if (key->text == NULL) return key->id;
  uint32_t at = *cursor;
  peres_put16(rs + at, key->length);
  memcpy(rs + at + 2, key->text, 2 * key->length);
  *cursor += 2 + 2 * key->length;
  return PERES_HIGH | at;
}

static void peres_dir_header(uint8_t *rs, uint32_t at, uint32_t named, uint32_t ids) {
  memset(rs + at, 0, 12);
  peres_put16(rs + at + 12, named);
  peres_put16(rs + at + 14, ids);
}

// Sizes of the new section's parts: directories, then data entries, names
// and data. Returns the whole size (64-bit: it may not fit).
static uint64_t peres_measure(const PeresTree *tree, uint32_t *entries_at, uint32_t *strings_at,
                              uint32_t *data_at) {
  uint64_t dirs = 16, strings = 0, data = 0;
  for (uint32_t t = 0; t < tree->count;) {
    uint32_t t_end = peres_same_key_end(tree, t, tree->count, 0);
    dirs += 8 + 16;
    strings += peres_string_size(&tree->leaves[t].type);
    for (uint32_t n = t; n < t_end;) {
      uint32_t n_end = peres_same_key_end(tree, n, t_end, 1);
      dirs += 8 + 16 + 8ull * (n_end - n);
      strings += peres_string_size(&tree->leaves[n].name);
      n = n_end;
    }
    t = t_end;
  }
  for (uint32_t i = 0; i < tree->count; ++i) data += peres_align(tree->leaves[i].size, 8);
  uint64_t data_start = peres_align(dirs + 16ull * tree->count + strings, 8);
  *entries_at = (uint32_t)dirs;
  *strings_at = (uint32_t)(dirs + 16ull * tree->count);
  *data_at = (uint32_t)data_start;
  return data_start + data;
}

// Writes the section for TREE (sorted) into RS, which holds the measured
// size in zeros; data lies at RVA RS_VA + its offset.
static void peres_write(const PeresTree *tree, uint8_t *rs, uint32_t rs_va, uint32_t entries_at,
                        uint32_t strings_at, uint32_t data_at) {
  uint32_t types = 0, named_types = 0;
  for (uint32_t t = 0; t < tree->count; t = peres_same_key_end(tree, t, tree->count, 0)) {
    ++types;
    named_types += tree->leaves[t].type.text != NULL;
  }
  peres_dir_header(rs, 0, named_types, types - named_types);
  uint32_t dir_cursor = 16 + 8 * types;
  uint32_t string_cursor = strings_at;
  uint32_t data_cursor = data_at;
  uint32_t type_index = 0;
  for (uint32_t t = 0; t < tree->count; ++type_index) {
    uint32_t t_end = peres_same_key_end(tree, t, tree->count, 0);
    uint32_t names = 0, named = 0;
    for (uint32_t n = t; n < t_end; n = peres_same_key_end(tree, n, t_end, 1)) {
      ++names;
      named += tree->leaves[n].name.text != NULL;
    }
    uint32_t type_dir = dir_cursor;
    dir_cursor += 16 + 8 * names;
    uint8_t *root_entry = rs + 16 + 8 * type_index;
    le32_encode(root_entry, peres_key_write(rs, &string_cursor, &tree->leaves[t].type));
    le32_encode(root_entry + 4, PERES_HIGH | type_dir);
    peres_dir_header(rs, type_dir, named, names - named);
    uint32_t name_index = 0;
    for (uint32_t n = t; n < t_end; ++name_index) {
      uint32_t n_end = peres_same_key_end(tree, n, t_end, 1);
      uint32_t name_dir = dir_cursor;
      dir_cursor += 16 + 8 * (n_end - n);
      uint8_t *type_entry = rs + type_dir + 16 + 8 * name_index;
      le32_encode(type_entry, peres_key_write(rs, &string_cursor, &tree->leaves[n].name));
      le32_encode(type_entry + 4, PERES_HIGH | name_dir);
      peres_dir_header(rs, name_dir, 0, n_end - n);
      for (uint32_t q = n; q < n_end; ++q) {
        const PeresLeaf *leaf = &tree->leaves[q];
        uint8_t *lang_entry = rs + name_dir + 16 + 8 * (q - n);
        uint8_t *data_entry = rs + entries_at + 16 * q;
        le32_encode(lang_entry, leaf->lang);
        le32_encode(lang_entry + 4, entries_at + 16 * q);
        le32_encode(data_entry, rs_va + data_cursor);
        le32_encode(data_entry + 4, leaf->size);
        le32_encode(data_entry + 8, leaf->codepage);
        if (leaf->size > 0) memcpy(rs + data_cursor, leaf->data, leaf->size);
        data_cursor += (uint32_t)peres_align(leaf->size, 8);
      }
      n = n_end;
    }
    t = t_end;
  }
}

// ---- Checksum -------------------------------------------------------------

uint64_t peres_checksum_add(uint64_t sum, uint64_t at, const uint8_t *bytes, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) sum += (uint64_t)bytes[i] << (((at + i) & 1) * 8);
  return sum;
}

uint32_t peres_checksum_end(uint64_t sum, uint32_t file_size) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return (uint32_t)sum + file_size;
}

// ---- The image ------------------------------------------------------------

static int peres_too_large(char *why) {
  peres_fail(why, "the result would not fit in 32-bit offsets");
  return PERES_TOO_LARGE;
}

// Lays out the new image: everything before the resource section as it was,
// the new section, the relocations, then the bytes that followed the
// sections less the certificate table.
static int peres_assemble(const uint8_t *pe, uint32_t pe_size, const PeresLayout *l,
                          const PeresTree *tree, PeresImage *out, char *why) {
  uint32_t entries_at = 0, strings_at = 0, data_at = 0;
  uint64_t rs_size = peres_measure(tree, &entries_at, &strings_at, &data_at);
  if (rs_size > PERES_OFFSET_MAX || l->rsrc.va + rs_size > 0xFFFFFFFFull)
    return peres_too_large(why);
  uint64_t rs_raw = peres_align(rs_size, l->file_align);
  uint32_t head = l->rsrc.raw_at;
  uint32_t reloc_raw = l->has_reloc ? l->reloc.raw_size : 0;
  uint64_t reloc_va = peres_align(l->rsrc.va + rs_size, l->section_align);
  uint64_t image_end = l->has_reloc ? reloc_va + l->reloc.virtual_size : l->rsrc.va + rs_size;
  uint64_t size_of_image = peres_align(image_end, l->section_align);
  uint64_t after_at = head + rs_raw + reloc_raw;
  uint64_t after = pe_size - l->sections_end - l->cert_size;
  if (after_at + after > 0xFFFFFFFFull || size_of_image > 0xFFFFFFFFull) return peres_too_large(why);

  uint8_t *bytes = (uint8_t *)calloc(1, (size_t)(after_at + after) + 1);
  if (bytes == NULL) return peres_too_large(why);
  memcpy(bytes, pe, head);
  peres_write(tree, bytes + head, l->rsrc.va, entries_at, strings_at, data_at);
  if (reloc_raw > 0) memcpy(bytes + head + rs_raw, pe + l->reloc.raw_at, reloc_raw);
  uint32_t cert_end = l->cert_at + l->cert_size;
  uint8_t *tail = bytes + after_at;
  if (l->cert_size > 0 || l->cert_at != 0) {
    memcpy(tail, pe + l->sections_end, l->cert_at - l->sections_end);
    memcpy(tail + (l->cert_at - l->sections_end), pe + cert_end, pe_size - cert_end);
  } else {
    memcpy(tail, pe + l->sections_end, pe_size - l->sections_end);
  }

  uint8_t *opt = bytes + l->opt_at;
  le32_encode(bytes + l->rsrc.header_at + 8, (uint32_t)rs_size);
  le32_encode(bytes + l->rsrc.header_at + 16, (uint32_t)rs_raw);
  le32_encode(opt + 8, le32_decode(opt + 8) - l->rsrc.raw_size + (uint32_t)rs_raw);
  le32_encode(opt + 56, (uint32_t)size_of_image);
  le32_encode(bytes + l->dirs_at + 8 * PERES_DIR_RESOURCE + 4, (uint32_t)rs_size);
  if (l->has_reloc) {
    le32_encode(bytes + l->reloc.header_at + 12, (uint32_t)reloc_va);
    if (reloc_raw > 0) le32_encode(bytes + l->reloc.header_at + 20, (uint32_t)(head + rs_raw));
    uint8_t *dir = bytes + l->dirs_at + 8 * PERES_DIR_BASERELOC;
    if (le32_decode(dir) != 0)
      le32_encode(dir, le32_decode(dir) - l->reloc.va + (uint32_t)reloc_va);
  }
  memset(bytes + l->dirs_at + 8 * PERES_DIR_SECURITY, 0, 8);
  uint32_t symbols = le32_decode(pe + l->symbols_field_at);
  if (symbols != 0 && symbols >= l->sections_end) {
    uint32_t moved = symbols - l->sections_end + (uint32_t)after_at;
    if (l->cert_size > 0 && symbols >= cert_end) moved -= l->cert_size;
    le32_encode(bytes + l->symbols_field_at, moved);
  }

  out->bytes = bytes;
  out->size = (uint32_t)(after_at + after);
  out->checksum_at = l->opt_at + 64;
  out->certificate_size = l->cert_size;
  le32_encode(bytes + out->checksum_at, 0);
  le32_encode(bytes + out->checksum_at,
              peres_checksum_end(peres_checksum_add(0, 0, bytes, out->size), out->size));
  return PERES_OK;
}

int peres_rebuild(const uint8_t *pe, uint32_t pe_size, const uint8_t *ico, uint32_t ico_size,
                  const uint8_t *installer, uint32_t installer_size, PeresImage *out, char *why) {
  memset(out, 0, sizeof *out);
  why[0] = '\0';
  PeresLayout layout;
  if (!peres_layout(pe, pe_size, &layout, why)) return PERES_BAD_LAUNCHER;
  PeresTree *tree = (PeresTree *)calloc(1, sizeof *tree);
  if (tree == NULL) return peres_too_large(why);
  int result = PERES_BAD_LAUNCHER;
  if (peres_read_tree(pe, &layout, tree, why)) {
    result = PERES_OK;
    if (ico != NULL && !peres_swap_icon(tree, ico, ico_size, &result, why)) {
      // result says whose fault it is
    } else if (installer != NULL) {
      int found = 0;
      for (uint32_t i = 0; i < tree->count; ++i) {
        if (!peres_is_installer(&tree->leaves[i])) continue;
        tree->leaves[i].data = installer;
        tree->leaves[i].size = installer_size;
        found = 1;
      }
      if (!found) {
        peres_fail(why, "has no installer resource (type ZUX, name INSTPLUG)");
        result = PERES_BAD_LAUNCHER;
      }
    }
  }
  if (result == PERES_OK) {
    qsort(tree->leaves, tree->count, sizeof tree->leaves[0], peres_leaf_compare);
    result = peres_assemble(pe, pe_size, &layout, tree, out, why);
  }
  free(tree);
  return result;
}

int peres_describe(const uint8_t *pe, uint32_t pe_size, PeresSummary *out, char *why) {
  memset(out, 0, sizeof *out);
  why[0] = '\0';
  PeresLayout layout;
  if (!peres_layout(pe, pe_size, &layout, why)) return PERES_BAD_LAUNCHER;
  out->resources_at = layout.rsrc.raw_at;
  PeresTree *tree = (PeresTree *)calloc(1, sizeof *tree);
  if (tree == NULL) return peres_fail(why, "out of memory"), PERES_BAD_LAUNCHER;
  int ok = peres_read_tree(pe, &layout, tree, why);
  const PeresLeaf *group = NULL;
  for (uint32_t i = 0; ok && i < tree->count; ++i) {
    const PeresLeaf *leaf = &tree->leaves[i];
    if (peres_is_group(leaf) && group == NULL) group = leaf;
    if (leaf->type.text == NULL && leaf->type.id == PERES_RT_MANIFEST && leaf->name.text == NULL &&
        leaf->name.id == 1)
      out->manifest = 1;
    if (peres_is_installer(leaf) && out->installer == NULL) {
      out->installer = leaf->data;
      out->installer_size = leaf->size;
    }
  }
  if (ok && group == NULL) ok = peres_fail(why, "has no icon group IDI_ICON1");
  if (ok && out->installer == NULL)
    ok = peres_fail(why, "has no installer resource (type ZUX, name INSTPLUG)");
  uint32_t count = ok && group->size >= 6 ? peres_u16(group->data + 4) : 0;
  if (ok && (count > PERES_ICON_MAX || (group->size - 6) / PERES_GROUP_ENTRY < count))
    ok = peres_fail(why, "its icon group IDI_ICON1 is malformed");
  for (uint32_t i = 0; ok && i < count; ++i) {
    const uint8_t *g = group->data + 6 + PERES_GROUP_ENTRY * i;
    PeresIcon *icon = &out->icons[i];
    icon->width = g[0] != 0 ? g[0] : 256;
    icon->height = g[1] != 0 ? g[1] : 256;
    icon->bits = peres_u16(g + 6);
    const PeresLeaf *image = NULL;
    for (uint32_t j = 0; j < tree->count && image == NULL; ++j)
      if (peres_is_icon(&tree->leaves[j], peres_u16(g + 12))) image = &tree->leaves[j];
    if (image == NULL) ok = peres_fail(why, "its icon group lists an image that is missing");
    else icon->png = image->size >= 8 && memcmp(image->data, PERES_PNG, 8) == 0;
    if (image != NULL) {
      memcpy(icon->listed, g, sizeof icon->listed);
      icon->image = image->data;
      icon->image_size = image->size;
    }
  }
  out->icon_count = ok ? count : 0;
  free(tree);
  return ok ? PERES_OK : PERES_BAD_LAUNCHER;
}
