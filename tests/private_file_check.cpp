// A Windows program for the tests: makes a file through platform::create_private,
// as the tool makes its temporary file, and reads its security back from the
// file system. The file must let the current user alone in, with a DACL that
// inherits nothing from the directory: it holds a copy of a target that others
// may not be allowed to read. A file made without asking for security is read
// back too, to show that the check can tell the two apart here.
//
// Wine keeps no ACLs: it turns the DACL of a new file into Unix mode bits, and
// describes a file by a DACL made from those bits, which always lets Local
// System in and has no protection flag. Under Wine the check is therefore that
// nobody else (no Everyone entry, which a file made without asking has) is let
// in; on Windows it is the whole DACL.
//
// Prints what it found; the exit status is 0 when the file is private.
#include <windows.h>
//
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>

#include "platform/files.h"

namespace {

DWORD token_user[32];

bool under_wine() {
  const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Local System, which Wine lists on every file.
bool is_local_system(PSID sid) {
  DWORD system[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
  DWORD size = sizeof system;
  return ::CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size) && ::EqualSid(sid, system);
}

PSID current_user() {
  HANDLE token = nullptr;
  DWORD size = 0;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token) ||
      !::GetTokenInformation(token, TokenUser, token_user, sizeof token_user, &size)) {
    return nullptr;
  }
  (void)::CloseHandle(token);
  return reinterpret_cast<TOKEN_USER*>(token_user)->User.Sid;
}

// True when the security stored for `path` gives `user` alone access: one
// entry that allows, names the user and was not inherited, in a DACL that
// takes no entries from the directory (under Wine: see above).
bool is_private(const char* path, PSID user, bool wine) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    std::printf("%s: its security cannot be read\n", path);
    return false;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  const bool is_protected = ::GetSecurityDescriptorControl(descriptor, &control, &revision) &&
                            (control & SE_DACL_PROTECTED) != 0;
  const unsigned entries = dacl == nullptr ? 0 : dacl->AceCount;
  std::printf("%s: %s DACL, %s, %u entries\n", path, dacl == nullptr ? "no" : "a",
              is_protected ? "protected" : "not protected", entries);
  bool only_user = dacl != nullptr && (entries == 1 || wine);
  bool user_let_in = false;
  for (unsigned i = 0; dacl != nullptr && i < entries; ++i) {
    void* entry = nullptr;
    if (!::GetAce(dacl, i, &entry)) return false;
    const auto header = static_cast<ACE_HEADER*>(entry);
    const bool allows = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
    const bool for_user =
        allows && ::EqualSid(&static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart, user);
    const bool inherited = (header->AceFlags & INHERITED_ACE) != 0;
    char* sid = nullptr;
    const bool named = allows && ::ConvertSidToStringSidA(
                                     &static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart, &sid);
    std::printf("  entry %u: %s %s (%s), %s\n", i, allows ? "allows" : "other type",
                named ? sid : "?", for_user ? "the current user" : "someone else",
                inherited ? "inherited" : "its own");
    if (named) (void)::LocalFree(sid);
    const bool tolerated =
        wine && allows && is_local_system(&static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart);
    only_user = only_user && (for_user || tolerated) && !inherited;
    user_let_in = user_let_in || for_user;
  }
  (void)::LocalFree(descriptor);
  return (is_protected || wine) && only_user && user_let_in;
}

}  // namespace

int main() {
  const PSID user = current_user();
  if (user == nullptr) {
    std::printf("the current user is not known\n");
    return 2;
  }
  const char* plain_path = "private-check-plain.tmp";
  const char* private_path = "private-check.tmp";
  (void)::DeleteFileA(plain_path);
  (void)::DeleteFileA(private_path);

  const HANDLE plain = ::CreateFileA(plain_path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
  zibel::platform::Directory here;
  zibel::platform::File made;
  const bool created =
      zibel::platform::open_directory("", here) &&
      zibel::platform::create_private(here, private_path, made) ==
          zibel::platform::Created::created &&
      zibel::platform::publish(here, made, private_path) == zibel::platform::Created::created;
  if (plain == INVALID_HANDLE_VALUE || !created) {
    std::printf("cannot make the files\n");
    return 2;
  }
  (void)::CloseHandle(plain);
  (void)zibel::platform::close(made);

  const bool wine = under_wine();
  const bool plain_is_private = is_private(plain_path, user, wine);
  const bool made_is_private = is_private(private_path, user, wine);
  (void)::DeleteFileA(plain_path);
  (void)::DeleteFileA(private_path);
  if (plain_is_private) {
    std::printf("a file made without asking is private too: the check tells nothing here\n");
    return 2;
  }
  return made_is_private ? 0 : 1;
}
