// The installer folder's security descriptor and the token's elevation, on
// advapi32 loaded from the system folder on first use.
#include "security_win.h"

#include "dll_win.h"
#include "platform.h"

// Well-known SIDs as Windows lays them out: revision, count of
// sub-authorities, 6-byte authority (big-endian), sub-authorities.
static const DWORD SID_SYSTEM[] = {0x00000101u, 0x05000000u, 18u};  // S-1-5-18
static const DWORD SID_ADMINISTRATORS[] = {0x00000201u, 0x05000000u, 32u, 544u};  // S-1-5-32-544
static const DWORD SID_HIGH_LABEL[] = {0x00000101u, 0x10000000u, 0x3000u};  // S-1-16-12288

// Passed on to the files and folders made inside.
#define SECURITY_INHERIT (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)

// Opens the run's token for queries; null when that fails.
static HANDLE win_token_open(void) {
  HANDLE token = NULL;
  auto open = DLL_FN(DLL_ADVAPI32, OpenProcessToken);
  if (open == NULL || !open(GetCurrentProcess(), TOKEN_QUERY, &token)) return NULL;
  return token;
}

// Reads CLASS of the run's token into OUT (SIZE bytes). 1 on success.
static int win_token_read(TOKEN_INFORMATION_CLASS info, void *out, DWORD size) {
  auto read = DLL_FN(DLL_ADVAPI32, GetTokenInformation);
  HANDLE token = win_token_open();
  if (token == NULL) return 0;
  DWORD got = 0;
  int ok = read != NULL && read(token, info, out, size, &got);
  CloseHandle(token);
  return ok;
}

int plat_token_elevated(int *elevated) {
  *elevated = 0;
  // Before Vista an administrator always has his rights in full, and the
  // token knows no elevation.
  if (plat_version_major() < 6) return 1;
  TOKEN_ELEVATION elevation;
  if (!win_token_read(TokenElevation, &elevation, sizeof elevation)) return 0;
  *elevated = elevation.TokenIsElevated != 0;
  return 1;
}

int plat_random(void *out, uint32_t n) {
  // RtlGenRandom, exported by name only as SystemFunction036.
  typedef BOOLEAN(WINAPI * GenRandomFn)(PVOID, ULONG);
  GenRandomFn generate = (GenRandomFn)dll_proc(DLL_ADVAPI32, "SystemFunction036");
  return generate != NULL && generate(out, n);
}

int win_folder_security(int elevated, WinFolderSecurity *security) {
  auto init_acl = DLL_FN(DLL_ADVAPI32, InitializeAcl);
  auto allow = DLL_FN(DLL_ADVAPI32, AddAccessAllowedAceEx);
  auto init = DLL_FN(DLL_ADVAPI32, InitializeSecurityDescriptor);
  auto set_dacl = DLL_FN(DLL_ADVAPI32, SetSecurityDescriptorDacl);
  auto set_control = DLL_FN(DLL_ADVAPI32, SetSecurityDescriptorControl);
  if (init_acl == NULL || allow == NULL || init == NULL || set_dacl == NULL || set_control == NULL)
    return 0;
  PACL dacl = (PACL)security->dacl;
  if (!init_acl(dacl, sizeof security->dacl, ACL_REVISION) ||
      !allow(dacl, ACL_REVISION, SECURITY_INHERIT, FILE_ALL_ACCESS, (PSID)SID_SYSTEM) ||
      !allow(dacl, ACL_REVISION, SECURITY_INHERIT, FILE_ALL_ACCESS, (PSID)SID_ADMINISTRATORS))
    return 0;
  if (!elevated) {
    TOKEN_USER *user = (TOKEN_USER *)security->user;
    if (!win_token_read(TokenUser, user, sizeof security->user) ||
        !allow(dacl, ACL_REVISION, SECURITY_INHERIT, FILE_ALL_ACCESS, user->User.Sid))
      return 0;
  }
  if (!init(&security->descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !set_dacl(&security->descriptor, TRUE, dacl, FALSE) ||
      !set_control(&security->descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
    return 0;
  if (!elevated) return 1;
  // Only elevated: the label API is Vista's, and a label above the run's
  // own integrity level would be refused.
  auto label = DLL_FN(DLL_ADVAPI32, AddMandatoryAce);
  auto set_sacl = DLL_FN(DLL_ADVAPI32, SetSecurityDescriptorSacl);
  PACL sacl = (PACL)security->sacl;
  return label != NULL && set_sacl != NULL && init_acl(sacl, sizeof security->sacl, ACL_REVISION) &&
         label(sacl, ACL_REVISION, SECURITY_INHERIT, SYSTEM_MANDATORY_LABEL_NO_WRITE_UP,
               (PSID)SID_HIGH_LABEL) &&
         set_sacl(&security->descriptor, TRUE, sacl, FALSE) &&
         set_control(&security->descriptor, SE_SACL_PROTECTED, SE_SACL_PROTECTED);
}
