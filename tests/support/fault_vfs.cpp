#include "tests/support/fault_vfs.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace kv {
namespace testing {

// The one way from SQLite's plain C callbacks into the FaultVfs.
struct FaultVfs::Shim {
    static int OnOperation(Op op) { return Install().OnOperation(op); }
    static int OnSleep(int microseconds) { return Install().OnSleep(microseconds); }
};

namespace {

using Op = FaultVfs::Op;

constexpr char kName[] = "wardex-fault";

// What SQLite allocates for one open file (szOsFile bytes): our sqlite3_file, then the
// real VFS's file structure in the same block.
struct WrappedFile {
    sqlite3_file base;   // first: the part SQLite sees
    sqlite3_file* real;  // points just past this struct
};
static_assert(sizeof(WrappedFile) % 8 == 0, "the real file structure that follows must stay aligned");

sqlite3_file* RealFile(sqlite3_file* file) { return reinterpret_cast<WrappedFile*>(file)->real; }
const sqlite3_io_methods& RealMethods(sqlite3_file* file) { return *RealFile(file)->pMethods; }
sqlite3_vfs* RealVfs(sqlite3_vfs* vfs) { return static_cast<sqlite3_vfs*>(vfs->pAppData); }

// --- io methods: the four counted operations, then plain forwarding -----------------------

int Close(sqlite3_file* file) {
    sqlite3_file* real = RealFile(file);
    const int rc = real->pMethods != nullptr ? real->pMethods->xClose(real) : SQLITE_OK;
    file->pMethods = nullptr;
    return rc;
}

int Read(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
    if (const int code = FaultVfs::Shim::OnOperation(Op::kRead)) {
        // SQLite expects the unread part of a short read zeroed; never hand out stale bytes.
        std::memset(buffer, 0, static_cast<size_t>(amount));
        return code;
    }
    return RealMethods(file).xRead(RealFile(file), buffer, amount, offset);
}

int Write(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
    if (const int code = FaultVfs::Shim::OnOperation(Op::kWrite)) return code;
    return RealMethods(file).xWrite(RealFile(file), buffer, amount, offset);
}

int Truncate(sqlite3_file* file, sqlite3_int64 size) {
    if (const int code = FaultVfs::Shim::OnOperation(Op::kTruncate)) return code;
    return RealMethods(file).xTruncate(RealFile(file), size);
}

int Sync(sqlite3_file* file, int flags) {
    if (const int code = FaultVfs::Shim::OnOperation(Op::kSync)) return code;
    return RealMethods(file).xSync(RealFile(file), flags);
}

int FileSize(sqlite3_file* file, sqlite3_int64* size) {
    return RealMethods(file).xFileSize(RealFile(file), size);
}
int Lock(sqlite3_file* file, int level) { return RealMethods(file).xLock(RealFile(file), level); }
int Unlock(sqlite3_file* file, int level) { return RealMethods(file).xUnlock(RealFile(file), level); }
int CheckReservedLock(sqlite3_file* file, int* result) {
    return RealMethods(file).xCheckReservedLock(RealFile(file), result);
}
int FileControl(sqlite3_file* file, int op, void* argument) {
    return RealMethods(file).xFileControl(RealFile(file), op, argument);
}
int SectorSize(sqlite3_file* file) { return RealMethods(file).xSectorSize(RealFile(file)); }
int DeviceCharacteristics(sqlite3_file* file) { return RealMethods(file).xDeviceCharacteristics(RealFile(file)); }

// iVersion 2: the shared memory of WAL mode.
int ShmMap(sqlite3_file* file, int region, int region_size, int extend, void volatile** mapped) {
    return RealMethods(file).xShmMap(RealFile(file), region, region_size, extend, mapped);
}
int ShmLock(sqlite3_file* file, int offset, int count, int flags) {
    return RealMethods(file).xShmLock(RealFile(file), offset, count, flags);
}
void ShmBarrier(sqlite3_file* file) { RealMethods(file).xShmBarrier(RealFile(file)); }
int ShmUnmap(sqlite3_file* file, int delete_flag) {
    return RealMethods(file).xShmUnmap(RealFile(file), delete_flag);
}

// iVersion 3: memory-mapped pages.
int Fetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** page) {
    return RealMethods(file).xFetch(RealFile(file), offset, amount, page);
}
int Unfetch(sqlite3_file* file, sqlite3_int64 offset, void* page) {
    return RealMethods(file).xUnfetch(RealFile(file), offset, page);
}

// One table per io-methods version, so that each file offers exactly the methods its real
// file has: SQLite looks at iVersion before calling a newer method.
const sqlite3_io_methods kMethods[3] = {
    {1, Close, Read, Write, Truncate, Sync, FileSize, Lock, Unlock, CheckReservedLock, FileControl, SectorSize,
     DeviceCharacteristics, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
    {2, Close, Read, Write, Truncate, Sync, FileSize, Lock, Unlock, CheckReservedLock, FileControl, SectorSize,
     DeviceCharacteristics, ShmMap, ShmLock, ShmBarrier, ShmUnmap, nullptr, nullptr},
    {3, Close, Read, Write, Truncate, Sync, FileSize, Lock, Unlock, CheckReservedLock, FileControl, SectorSize,
     DeviceCharacteristics, ShmMap, ShmLock, ShmBarrier, ShmUnmap, Fetch, Unfetch},
};

// --- VFS methods: xOpen wraps the file, the rest forward to the real VFS -----------------------
//
// The real VFS always gets its own sqlite3_vfs: the unix VFS reads its pAppData.

int Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* out_flags) {
    sqlite3_vfs* real_vfs = RealVfs(vfs);
    auto* wrapped = reinterpret_cast<WrappedFile*>(file);
    wrapped->base.pMethods = nullptr;
    wrapped->real = reinterpret_cast<sqlite3_file*>(wrapped + 1);
    std::memset(wrapped->real, 0, static_cast<size_t>(real_vfs->szOsFile));
    const int rc = real_vfs->xOpen(real_vfs, name, wrapped->real, flags, out_flags);
    // Even a failed open may leave methods set; SQLite then calls xClose, which must reach
    // the real file.
    if (const sqlite3_io_methods* real_methods = wrapped->real->pMethods) {
        const int version = std::min(std::max(real_methods->iVersion, 1), 3);
        wrapped->base.pMethods = &kMethods[version - 1];
    }
    return rc;
}

int Delete(sqlite3_vfs* vfs, const char* name, int sync_dir) {
    if (const int code = FaultVfs::Shim::OnOperation(Op::kDelete)) return code;
    return RealVfs(vfs)->xDelete(RealVfs(vfs), name, sync_dir);
}
int Access(sqlite3_vfs* vfs, const char* name, int flags, int* result) {
    return RealVfs(vfs)->xAccess(RealVfs(vfs), name, flags, result);
}
int FullPathname(sqlite3_vfs* vfs, const char* name, int size, char* out) {
    return RealVfs(vfs)->xFullPathname(RealVfs(vfs), name, size, out);
}
void* DlOpen(sqlite3_vfs* vfs, const char* name) { return RealVfs(vfs)->xDlOpen(RealVfs(vfs), name); }
void DlError(sqlite3_vfs* vfs, int size, char* message) { RealVfs(vfs)->xDlError(RealVfs(vfs), size, message); }
void (*DlSym(sqlite3_vfs* vfs, void* handle, const char* symbol))(void) {
    return RealVfs(vfs)->xDlSym(RealVfs(vfs), handle, symbol);
}
void DlClose(sqlite3_vfs* vfs, void* handle) { RealVfs(vfs)->xDlClose(RealVfs(vfs), handle); }
int Randomness(sqlite3_vfs* vfs, int size, char* out) { return RealVfs(vfs)->xRandomness(RealVfs(vfs), size, out); }
int Sleep(sqlite3_vfs* vfs, int microseconds) {
    const int slept = FaultVfs::Shim::OnSleep(microseconds);
    return slept >= 0 ? slept : RealVfs(vfs)->xSleep(RealVfs(vfs), microseconds);
}
int CurrentTime(sqlite3_vfs* vfs, double* now) { return RealVfs(vfs)->xCurrentTime(RealVfs(vfs), now); }
int GetLastError(sqlite3_vfs* vfs, int size, char* out) {
    return RealVfs(vfs)->xGetLastError(RealVfs(vfs), size, out);
}
int CurrentTimeInt64(sqlite3_vfs* vfs, sqlite3_int64* now) {
    return RealVfs(vfs)->xCurrentTimeInt64(RealVfs(vfs), now);
}
int SetSystemCall(sqlite3_vfs* vfs, const char* name, sqlite3_syscall_ptr call) {
    return RealVfs(vfs)->xSetSystemCall(RealVfs(vfs), name, call);
}
sqlite3_syscall_ptr GetSystemCall(sqlite3_vfs* vfs, const char* name) {
    return RealVfs(vfs)->xGetSystemCall(RealVfs(vfs), name);
}
const char* NextSystemCall(sqlite3_vfs* vfs, const char* name) {
    return RealVfs(vfs)->xNextSystemCall(RealVfs(vfs), name);
}

// The shim over `real`, offering the methods of real's version and no others.
sqlite3_vfs MakeVfs(sqlite3_vfs* real) {
    sqlite3_vfs vfs;
    std::memset(&vfs, 0, sizeof(vfs));
    vfs.iVersion = std::min(real->iVersion, 3);
    vfs.szOsFile = static_cast<int>(sizeof(WrappedFile)) + real->szOsFile;
    vfs.mxPathname = real->mxPathname;
    vfs.zName = kName;
    vfs.pAppData = real;
    vfs.xOpen = Open;
    vfs.xDelete = Delete;
    vfs.xAccess = Access;
    vfs.xFullPathname = FullPathname;
    vfs.xDlOpen = real->xDlOpen != nullptr ? DlOpen : nullptr;
    vfs.xDlError = real->xDlError != nullptr ? DlError : nullptr;
    vfs.xDlSym = real->xDlSym != nullptr ? DlSym : nullptr;
    vfs.xDlClose = real->xDlClose != nullptr ? DlClose : nullptr;
    vfs.xRandomness = Randomness;
    vfs.xSleep = Sleep;
    vfs.xCurrentTime = CurrentTime;
    vfs.xGetLastError = real->xGetLastError != nullptr ? GetLastError : nullptr;
    if (vfs.iVersion >= 2) vfs.xCurrentTimeInt64 = real->xCurrentTimeInt64 != nullptr ? CurrentTimeInt64 : nullptr;
    if (vfs.iVersion >= 3) {
        vfs.xSetSystemCall = real->xSetSystemCall != nullptr ? SetSystemCall : nullptr;
        vfs.xGetSystemCall = real->xGetSystemCall != nullptr ? GetSystemCall : nullptr;
        vfs.xNextSystemCall = real->xNextSystemCall != nullptr ? NextSystemCall : nullptr;
    }
    return vfs;
}

int Index(Op op) { return static_cast<int>(op); }

}  // namespace

const char* FaultVfs::Name() { return kName; }

FaultVfs& FaultVfs::Install() {
    // Both live for the rest of the process: SQLite keeps the VFS registered, and files
    // opened through it may be in use until the very end.
    static FaultVfs* const instance = [] {
        auto* created = new FaultVfs();
        static sqlite3_vfs vfs = MakeVfs(sqlite3_vfs_find(nullptr));
        sqlite3_vfs_register(&vfs, /*makeDflt=*/1);
        return created;
    }();
    return *instance;
}

void FaultVfs::Arm(Op op, int nth, int error_code) { Arm(op, nth, error_code, /*sticky=*/false); }

void FaultVfs::ArmSticky(Op op, int nth, int error_code) { Arm(op, nth, error_code, /*sticky=*/true); }

void FaultVfs::ArmCrash(int nth) {
    Arm(Op::kRead, nth, SQLITE_IOERR, /*sticky=*/true);
    std::lock_guard<std::mutex> lock(mutex_);
    any_op_ = true;
}

void FaultVfs::ArmKill(Op op, int nth) {
    Arm(op, nth, SQLITE_IOERR, /*sticky=*/false);
    std::lock_guard<std::mutex> lock(mutex_);
    kill_ = true;
}

void FaultVfs::Arm(Op op, int nth, int error_code, bool sticky) {
    std::lock_guard<std::mutex> lock(mutex_);
    any_op_ = false;
    kill_ = false;
    armed_ = true;
    sticky_ = sticky;
    armed_op_ = op;
    armed_nth_ = nth;
    armed_code_ = error_code;
    seen_since_arming_ = 0;
    fired_ = false;
}

void FaultVfs::Disarm() {
    std::lock_guard<std::mutex> lock(mutex_);
    armed_ = false;
    sticky_ = false;
    any_op_ = false;
    kill_ = false;
}

bool FaultVfs::fired() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fired_;
}

int FaultVfs::Count(Op op) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_[Index(op)];
}

void FaultVfs::ResetCounts() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fill(std::begin(counts_), std::end(counts_), 0);
}

void FaultVfs::SetObserver(std::function<void(Op)> observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
}

void FaultVfs::SetSleep(std::function<void(int)> sleep) {
    std::lock_guard<std::mutex> lock(mutex_);
    sleep_ = std::move(sleep);
}

int FaultVfs::OnSleep(int microseconds) {
    std::function<void(int)> sleep;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sleep = sleep_;
    }
    if (!sleep) return -1;
    sleep(microseconds);
    return microseconds;
}

int FaultVfs::OnOperation(Op op) {
    std::function<void(Op)> observer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        observer = observer_;
    }
    if (observer) observer(op);
    std::lock_guard<std::mutex> lock(mutex_);
    ++counts_[Index(op)];
    if (!armed_ || (!any_op_ && op != armed_op_)) return 0;
    ++seen_since_arming_;
    const bool fails = sticky_ ? seen_since_arming_ >= armed_nth_ : seen_since_arming_ == armed_nth_;
    if (!fails) return 0;
    fired_ = true;
    if (kill_) ::_exit(kKilled);
    return armed_code_;
}

}  // namespace testing
}  // namespace kv
