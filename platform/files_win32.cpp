// Files on Windows, through the wide Win32 file calls.
//
// Files are opened with the sharing of the C runtime's streams (others may
// read and write), and the temporary file may also be deleted while open, so
// that it can be deleted through its handle.
#include <windows.h>
//
#include <aclapi.h>
#include <winioctl.h>

#include <cstring>
#include <iterator>

#include "platform/files.h"
#include "platform/win32.h"

namespace zibel::platform {
namespace {

using seam::Point;
using win32::done;
using win32::file_of;
using win32::handle_of;
using win32::may_call;

// The largest transfer one ReadFile or WriteFile call is asked for.
constexpr DWORD kMaxTransfer = DWORD{1} << 30;

// Only other runs of this tool ask for this byte, far past the end of any
// file, so only they wait for one another; other programs are not held up.
constexpr DWORD kLockOffsetLow = 0xFFFFFFF0u;
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFFu;

DWORD at_most(std::uint64_t length, DWORD limit) {
  return length < limit ? static_cast<DWORD>(length) : limit;
}

OVERLAPPED at_offset(std::uint64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
}

std::intptr_t number(HANDLE handle) {
  return reinterpret_cast<std::intptr_t>(handle);
}

// Whether the open file is deleted when its last handle closes, however the
// process ends: the file itself, whatever name it has by then, and never
// another that took its name.
bool set_delete_disposition(HANDLE handle, bool delete_file) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = delete_file ? TRUE : FALSE;
  return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

bool delete_on_close(HANDLE handle) {
  const seam::Call call{Point::remove, number(handle)};
  return may_call(call) && done(call, set_delete_disposition(handle, true));
}

// A security descriptor that gives the current user alone access to a new
// file: a DACL with one entry, protected so that no entry is inherited from
// the directory. Built in fixed storage for each file made.
// The user may read, write, rename and delete it.
constexpr DWORD kPrivateAccess = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE;
SECURITY_DESCRIPTOR private_descriptor;
DWORD private_acl[32];
DWORD token_user[32];  // a TOKEN_USER and the SID it points to

bool make_private(SECURITY_ATTRIBUTES& attributes) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD size = 0;
  const bool known = ::GetTokenInformation(token, TokenUser, token_user, sizeof token_user, &size);
  (void)::CloseHandle(token);  // only read
  if (!known) return false;
  const PSID user = reinterpret_cast<TOKEN_USER*>(token_user)->User.Sid;
  const auto acl = reinterpret_cast<PACL>(private_acl);
  const DWORD acl_size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(user);
  if (acl_size > sizeof private_acl || !::InitializeAcl(acl, acl_size, ACL_REVISION) ||
      !::AddAccessAllowedAce(acl, ACL_REVISION, kPrivateAccess, user) ||
      !::InitializeSecurityDescriptor(&private_descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !::SetSecurityDescriptorDacl(&private_descriptor, TRUE, acl, FALSE) ||
      !::SetSecurityDescriptorControl(&private_descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    return false;
  }
  attributes = SECURITY_ATTRIBUTES{sizeof attributes, &private_descriptor, FALSE};
  return true;
}

bool close_handle(HANDLE handle) {
  const seam::Call call{Point::close, number(handle)};
  const bool failed = !may_call(call);
  const bool closed = ::CloseHandle(handle) != 0;
  if (failed) return false;
  return done(call, closed);
}

}  // namespace

// Names in a directory are joined to its path (win32::to_system_path); NTFS
// journals its directories, and a directory cannot be flushed here.
bool open_directory(std::string_view path, Directory& directory) {
  directory.path = path;
  return true;
}

void close(Directory&) {}

bool flush(const Directory&) {
  return true;
}

bool open_for_update(const char* path, File& file) {
  // Only a file on disk is opened at all: a device is refused by its name, a
  // stream of a file (notes.txt:s) by the ':' in its last name, and anything
  // else that is not a file on disk, a directory included, by a look at it
  // that opens it for no access. The entry is looked at without following a
  // link at its end; when it is no link, the file opened must be the one
  // looked at.
  const wchar_t* name = nullptr;
  if (win32::to_system_path(path, name) != win32::Named::file || win32::names_stream(name)) {
    return false;
  }
  const HANDLE looked = win32::open_to_look(name, FILE_FLAG_OPEN_REPARSE_POINT);
  if (looked == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION seen{};
  FILE_ATTRIBUTE_TAG_INFO tag{};
  const bool known =
      win32::identity_of(looked, seen) &&
      ::GetFileInformationByHandleEx(looked, FileAttributeTagInfo, &tag, sizeof tag) != 0;
  (void)::CloseHandle(looked);  // opened to be looked at only
  if (!known || (seen.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return false;
  }
  // A link (a symbolic link, a junction) leads to the file that is edited;
  // other reparse points (a file kept in the cloud, say) are that file.
  const bool link = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                    IsReparseTagNameSurrogate(tag.ReparseTag);

  // A link may have been changed to lead elsewhere since: what is opened is
  // looked at again, before anything is read or written.
  const seam::Call open{Point::open, -1, 0, 0, path};
  if (!may_call(open)) return false;
  const HANDLE handle =
      ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | win32::kIdentifyOnly, nullptr);
  if (!done(open, handle != INVALID_HANDLE_VALUE, number(handle))) return false;
  BY_HANDLE_FILE_INFORMATION opened{};
  if (::GetFileType(handle) != FILE_TYPE_DISK || !win32::identity_of(handle, opened) ||
      (opened.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      (!link && !win32::same_file(seen, opened))) {
    (void)::CloseHandle(handle);  // nothing was read or written through it
    return false;
  }
  file = file_of(handle);
  return true;
}

Created create_private(const Directory& directory, const char* name, File& file) {
  const seam::Call call{Point::create, -1, 0, 0, name};
  if (!may_call(call)) return Created::failed;
  const wchar_t* system_name = nullptr;
  SECURITY_ATTRIBUTES security{};
  if (win32::to_system_path(directory, name, system_name) != win32::Named::file ||
      !make_private(security)) {
    done(call, false);
    return Created::failed;
  }
  // Open for deletion too, so that it can be deleted through this handle.
  const HANDLE handle = ::CreateFileW(system_name, GENERIC_READ | GENERIC_WRITE | DELETE,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, &security, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | win32::kIdentifyOnly, nullptr);
  if (!done(call, handle != INVALID_HANDLE_VALUE, number(handle))) {
    const DWORD error = ::GetLastError();
    // A directory of that name gives ERROR_ACCESS_DENIED; it is taken too, and
    // so is a name whose file is being deleted but held open by another
    // program (a virus scanner, say), which cannot even be looked at, and one
    // that leads to something other than a file on disk.
    const HANDLE looked = win32::open_to_look(system_name, FILE_FLAG_OPEN_REPARSE_POINT);
    const DWORD look_error = ::GetLastError();
    if (looked != INVALID_HANDLE_VALUE) (void)::CloseHandle(looked);  // only looked at
    const bool taken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ||
                       looked != INVALID_HANDLE_VALUE || look_error == ERROR_BAD_FILE_TYPE ||
                       (error == ERROR_ACCESS_DENIED &&
                        (look_error == ERROR_ACCESS_DENIED || look_error == ERROR_DELETE_PENDING));
    return taken ? Created::name_taken : Created::failed;
  }
  // A junction on the way may lead the new file's open to a pipe or a device:
  // nothing is written to that.
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    (void)::CloseHandle(handle);  // nothing was written through it
    return Created::failed;
  }
  file = file_of(handle);
  // Until it is published, a run that ends, even killed or with its console
  // closed, leaves nothing behind; only a power cut then leaves the file. A
  // file system that refuses keeps it as it would be without.
  file.delete_pending = set_delete_disposition(handle, true);
  return Created::created;
}

// The file was made under its name, and NTFS journals it: publishing keeps it
// when its last handle closes.
Created publish(const Directory&, File& file, const char*) {
  if (!file.delete_pending) return Created::created;
  const seam::Call call{Point::link, number(handle_of(file))};
  if (!may_call(call) || !done(call, set_delete_disposition(handle_of(file), false))) {
    return Created::failed;
  }
  file.delete_pending = false;
  return Created::created;
}

bool names_file(const Directory& directory, const char* name, File file) {
  const wchar_t* system_name = nullptr;
  if (win32::to_system_path(directory, name, system_name) != win32::Named::file) return false;
  const HANDLE named = win32::open_to_look(system_name, FILE_FLAG_OPEN_REPARSE_POINT);
  if (named == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a{};
  BY_HANDLE_FILE_INFORMATION b{};
  const bool same = win32::identity_of(named, a) && win32::identity_of(handle_of(file), b) &&
                    win32::same_file(a, b);
  (void)::CloseHandle(named);  // opened to be looked at only
  return same;
}

// The file is deleted through its handle, which names it whatever its name is
// by now: a file another program has put under its name is left alone. The
// name goes when the handle is closed.
Removal remove(const Directory&, const char*, File file) {
  // A virus scanner may hold a new file mapped for a moment; try a few times.
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (delete_on_close(handle_of(file))) return Removal::removed;
    if (::GetLastError() != ERROR_ACCESS_DENIED) return Removal::failed;
    ::Sleep(100);
  }
  return Removal::failed;
}

std::ptrdiff_t read_at(File file, std::uint64_t offset, char* into, std::size_t capacity) {
  const seam::Call call{Point::read, file.handle, offset, capacity};
  DWORD limit = kMaxTransfer;
  if (!may_call(call, &limit)) return -1;
  OVERLAPPED at = at_offset(offset);
  DWORD count = 0;
  const BOOL read = ::ReadFile(handle_of(file), into, at_most(capacity, limit), &count, &at);
  // Reading from the end on gives ERROR_HANDLE_EOF: that is the end, not a failure.
  if (!read && ::GetLastError() == ERROR_HANDLE_EOF) {
    done(call, true, 0);
    return 0;
  }
  return done(call, read != 0, count) ? static_cast<std::ptrdiff_t>(count) : -1;
}

bool write_at(File file, std::uint64_t offset, const char* bytes, std::size_t length) {
  while (length > 0) {
    const seam::Call call{Point::write, file.handle, offset, length, nullptr, bytes};
    DWORD limit = kMaxTransfer;
    if (!may_call(call, &limit)) return false;
    OVERLAPPED at = at_offset(offset);
    DWORD count = 0;
    const BOOL wrote = ::WriteFile(handle_of(file), bytes, at_most(length, limit), &count, &at);
    if (!done(call, wrote != 0 && count > 0, count)) return false;
    bytes += count;
    offset += count;
    length -= count;
  }
  return true;
}

// Windows has no copy between open files that keeps to a range of each:
// copy() goes through memory.
std::int64_t copy_in_kernel(File, std::uint64_t, File, std::uint64_t, std::uint64_t) {
  return -1;
}

namespace {

// One answer about a sparse file's allocated ranges, the holes it shows, and
// the zeros written over them.
FILE_ALLOCATED_RANGE_BUFFER allocated[64];
win32::Range holes[std::size(allocated) + 1];
const char zeros[64 << 10] = {};

// Writes zeros over the holes of a sparse file between `from` and `end`, so
// that the disk space for them is allocated while the content stays as it
// is; false when the disk has no room. The holes are found as the file system
// tells them; a file system that cannot tell has none.
bool fill_holes(File file, std::uint64_t from, std::uint64_t end) {
  while (from < end) {
    const seam::Call call{Point::look, file.handle, from, end - from};
    if (!may_call(call)) return false;
    FILE_ALLOCATED_RANGE_BUFFER question{};
    question.FileOffset.QuadPart = static_cast<LONGLONG>(from);
    question.Length.QuadPart = static_cast<LONGLONG>(end - from);
    DWORD answered = 0;
    const BOOL complete =
        ::DeviceIoControl(handle_of(file), FSCTL_QUERY_ALLOCATED_RANGES, &question, sizeof question,
                          allocated, sizeof allocated, &answered, nullptr);
    const bool more = !complete && ::GetLastError() == ERROR_MORE_DATA;
    const std::size_t count = answered / sizeof allocated[0];
    if (!done(call, complete || more) || (more && count == 0)) return false;
    const std::size_t found = win32::holes_in(from, end, allocated, count, more, holes);
    for (std::size_t i = 0; i < found; ++i) {
      for (std::uint64_t at = holes[i].start; at < holes[i].end;) {
        const std::uint64_t piece =
            holes[i].end - at < sizeof zeros ? holes[i].end - at : sizeof zeros;
        if (!write_at(file, at, zeros, static_cast<std::size_t>(piece))) return false;
        at += piece;
      }
    }
  }
  return true;
}

}  // namespace

// ReFS can share blocks (FSCTL_DUPLICATE_EXTENTS_TO_FILE), but Wine has no
// ReFS to test it on, and NTFS, which almost every Windows volume is, cannot:
// the edit writes the whole temporary file, and the commit only what changed.
Cloned clone(File, File) {
  return Cloned::not_offered;
}

std::uint64_t block_size(File) {
  return 4096;
}

namespace {

// The file's length, and its times and attributes.
bool size_and_basics(File file, LARGE_INTEGER& size, FILE_BASIC_INFO& basic) {
  const seam::Call call{Point::look, file.handle};
  return may_call(call) &&
         done(call, ::GetFileSizeEx(handle_of(file), &size) &&
                        ::GetFileInformationByHandleEx(handle_of(file), FileBasicInfo, &basic,
                                                       sizeof basic));
}

}  // namespace

bool preallocate(File file, std::uint64_t offset, std::uint64_t length) {
  // Space within the file is only missing in the holes of a sparse file, which
  // are filled with zeros; space past the end is allocated as such. (An
  // allocation that does not reach the end would cut the file; clearing the
  // sparse flag would fill every hole of the file.)
  LARGE_INTEGER size{};
  FILE_BASIC_INFO basic{};
  if (!size_and_basics(file, size, basic)) return false;
  const std::uint64_t end = offset + length;
  const auto old_end = static_cast<std::uint64_t>(size.QuadPart);
  if ((basic.FileAttributes & FILE_ATTRIBUTE_SPARSE_FILE) != 0 &&
      !fill_holes(file, offset, end < old_end ? end : old_end)) {
    return false;
  }
  if (end <= old_end) return true;
  const seam::Call call{Point::preallocate, file.handle, offset, length};
  if (!may_call(call)) return false;
  FILE_ALLOCATION_INFO space{};
  space.AllocationSize.QuadPart = static_cast<LONGLONG>(end);
  if (done(call, ::SetFileInformationByHandle(handle_of(file), FileAllocationInfo, &space,
                                              sizeof space))) {
    return true;
  }
  // A file system that cannot preallocate is written as it comes.
  const DWORD error = ::GetLastError();
  return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_FUNCTION || error == ERROR_CALL_NOT_IMPLEMENTED;
}

bool state_of(File file, FileState& state) {
  LARGE_INTEGER size{};
  FILE_BASIC_INFO times{};
  if (!size_and_basics(file, size, times)) return false;
  state.length = static_cast<std::uint64_t>(size.QuadPart);
  state.modified = times.LastWriteTime.QuadPart;
  state.changed = times.ChangeTime.QuadPart;
  return true;
}

bool set_length(File file, std::uint64_t length) {
  const seam::Call call{Point::truncate, file.handle, length};
  if (!may_call(call)) return false;
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
  return done(call,
              ::SetFileInformationByHandle(handle_of(file), FileEndOfFileInfo, &end, sizeof end));
}

bool flush(File file) {
  const seam::Call call{Point::flush, file.handle};
  return may_call(call) && done(call, ::FlushFileBuffers(handle_of(file)) != 0);
}

bool lock_for_edit(File file) {
  const seam::Call call{Point::lock, file.handle};
  if (!may_call(call)) return false;
  OVERLAPPED at{};
  at.Offset = kLockOffsetLow;
  at.OffsetHigh = kLockOffsetHigh;
  if (done(call, ::LockFileEx(handle_of(file), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at))) return true;
  // A file system without locks can still be edited, only not guarded.
  return ::GetLastError() == ERROR_NOT_SUPPORTED || ::GetLastError() == ERROR_INVALID_FUNCTION;
}

// Another program's lock on part of the range would make a write fail part
// way: the range is locked exclusively first, without waiting.
bool identity_of(File file, FileIdentity& identity) {
  const seam::Call call{Point::look, file.handle};
  if (!may_call(call)) return false;
  // The 128-bit file ID where the system gives one (ReFS needs all of it);
  // else the 64-bit file index.
  BY_HANDLE_FILE_INFORMATION information{};
  if (!done(call, ::GetFileInformationByHandle(handle_of(file), &information) != 0)) return false;
  // NTFS's file number carries a sequence number in its high 16 bits, which
  // changes when the number is used again, and ReFS's 128-bit IDs are never
  // used again: the number alone tells a file, and stands for the generation.
  // (The creation time cannot: Wine gives the status change time there.)
  identity = FileIdentity{
      {std::uint64_t{information.nFileIndexHigh} << 32 | information.nFileIndexLow, 0}, 1, 0};
  FILE_ID_INFO id{};
  if (::GetFileInformationByHandleEx(handle_of(file), FileIdInfo, &id, sizeof id)) {
    std::memcpy(identity.number, id.FileId.Identifier, sizeof identity.number);
  }
  return true;
}

bool same_device(File a, File b) {
  BY_HANDLE_FILE_INFORMATION first{};
  BY_HANDLE_FILE_INFORMATION second{};
  return win32::identity_of(handle_of(a), first) && win32::identity_of(handle_of(b), second) &&
         first.dwVolumeSerialNumber == second.dwVolumeSerialNumber;
}

namespace {

DWORD token_owner[32];  // a TOKEN_OWNER and the SID it points to
DWORD run_user[32];     // a TOKEN_USER and the SID it points to

// The SIDs of this run: the one the token makes owner of new files (for an
// elevated administrator, the Administrators group), and the user's own.
struct RunSids {
  PSID owner = nullptr;
  PSID user = nullptr;
};

RunSids sids_of_run() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  DWORD size = 0;
  const bool known =
      ::GetTokenInformation(token, TokenOwner, token_owner, sizeof token_owner, &size) &&
      ::GetTokenInformation(token, TokenUser, run_user, sizeof run_user, &size);
  (void)::CloseHandle(token);  // only read
  if (!known) return {};
  TOKEN_OWNER owner{};
  TOKEN_USER user{};
  std::memcpy(&owner, token_owner, sizeof owner);
  std::memcpy(&user, run_user, sizeof user);
  return {owner.Owner, user.User.Sid};
}

bool is_run_sid(PSID sid, const RunSids& run) {
  return ::EqualSid(sid, run.owner) || ::EqualSid(sid, run.user);
}

// Whether the file's access list lets only this run's user in (and the
// system's own account, which Wine lists on every file).
bool private_to(const RunSids& run, PACL access) {
  DWORD system_sid[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
  DWORD system_size = sizeof system_sid;
  if (access == nullptr ||
      !::CreateWellKnownSid(WinLocalSystemSid, nullptr, system_sid, &system_size)) {
    return false;  // no access list lets everyone in
  }
  for (DWORD i = 0; i < access->AceCount; ++i) {
    void* entry = nullptr;
    if (!::GetAce(access, i, &entry)) return false;
    const auto* header = static_cast<ACE_HEADER*>(entry);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    const PSID who = &static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart;
    if (!is_run_sid(who, run) && !::EqualSid(who, system_sid)) return false;
  }
  return true;
}

// Whether the open file is owned by the user of this run and private to them.
// Its owner is the token's owner of new files on Windows; Wine makes the user
// the owner of every file, and names a group as the token's owner.
bool owned_and_private(HANDLE handle) {
  const RunSids run = sids_of_run();
  PSID owner = nullptr;
  PACL access = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (run.owner == nullptr ||
      ::GetSecurityInfo(handle, SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &access, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const bool trusted = owner != nullptr && is_run_sid(owner, run) && private_to(run, access);
  (void)::LocalFree(descriptor);  // the system's allocation, not the tool's
  return trusted;
}

}  // namespace

bool current_owner(Owner& owner) {
  const PSID sid = sids_of_run().owner;
  if (sid == nullptr || ::GetLengthSid(sid) > sizeof owner.bytes) return false;
  owner = Owner{};
  owner.length = static_cast<std::uint8_t>(::GetLengthSid(sid));
  std::memcpy(owner.bytes, sid, owner.length);
  return true;
}

Candidate open_candidate(const Directory& directory, const char* name, File target,
                         File& candidate) {
  const wchar_t* system_name = nullptr;
  if (win32::to_system_path(directory, name, system_name) != win32::Named::file) {
    return Candidate::untrusted;
  }
  // Opened for reading and for deleting it through its handle, never for
  // writing; a link at the name is opened itself, not followed.
  const seam::Call call{Point::open, -1, 0, 0, name};
  if (!may_call(call)) return Candidate::untrusted;
  const HANDLE handle = ::CreateFileW(system_name, GENERIC_READ | DELETE,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT | win32::kIdentifyOnly, nullptr);
  if (!done(call, handle != INVALID_HANDLE_VALUE, number(handle))) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Candidate::absent
                                                                          : Candidate::untrusted;
  }
  BY_HANDLE_FILE_INFORMATION seen{};
  BY_HANDLE_FILE_INFORMATION target_seen{};
  OVERLAPPED at{};
  at.Offset = kLockOffsetLow;
  at.OffsetHigh = kLockOffsetHigh;
  const bool trusted =
      ::GetFileType(handle) == FILE_TYPE_DISK && win32::identity_of(handle, seen) &&
      win32::identity_of(handle_of(target), target_seen) &&
      (seen.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
      seen.nNumberOfLinks == 1 && seen.dwVolumeSerialNumber == target_seen.dwVolumeSerialNumber &&
      owned_and_private(handle) &&
      ::LockFileEx(handle, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at);  // shared, kept while open
  if (!trusted) {
    (void)::CloseHandle(handle);  // only looked at
    return Candidate::untrusted;
  }
  candidate = file_of(handle);
  return Candidate::opened;
}

bool lock_range(File file, std::uint64_t offset, std::uint64_t length) {
  if (length == 0) return true;
  const seam::Call call{Point::lock, file.handle, offset, length};
  if (!may_call(call)) return false;
  OVERLAPPED at = at_offset(offset);
  if (done(call,
           ::LockFileEx(handle_of(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                        static_cast<DWORD>(length), static_cast<DWORD>(length >> 32), &at))) {
    return true;
  }
  // A file system without locks has none of other programs either.
  return ::GetLastError() == ERROR_NOT_SUPPORTED || ::GetLastError() == ERROR_INVALID_FUNCTION;
}

// A lock that stays (the unlock failed) goes when the file is closed.
void unlock_range(File file, std::uint64_t offset, std::uint64_t length) {
  if (length == 0) return;
  const seam::Call call{Point::lock, file.handle, offset, length};
  if (!may_call(call)) return;
  OVERLAPPED at = at_offset(offset);
  (void)done(call, ::UnlockFileEx(handle_of(file), 0, static_cast<DWORD>(length),
                                  static_cast<DWORD>(length >> 32), &at));
}

bool close(File file) {
  return close_handle(handle_of(file));
}

}  // namespace zibel::platform
