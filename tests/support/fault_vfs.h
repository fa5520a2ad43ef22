// A SQLite VFS for the tests that fails chosen file operations on demand.
//
// FaultVfs::Install() registers, once per process, a VFS named "wardex-fault" as the
// default VFS, wrapped around the VFS that was the default before (the unix VFS). Every
// connection opened afterwards without an explicit VFS goes through it; connections
// opened earlier keep the VFS they had. Each file it opens (database, rollback journal,
// WAL, temporary files alike) forwards every io method to the real file: locking, the
// shared-memory methods of WAL mode (xShmMap, xShmLock, xShmBarrier, xShmUnmap) and
// memory-mapped fetches (iVersion 1..3, as the real file offers them).
//
// It counts xRead, xWrite, xSync and xTruncate over all files, and xDelete, since
// ResetCounts(), and, once armed, fails one of them:
//   Arm(op, n, code)        the n-th such operation after arming (n counts from 1)
//                           returns `code` instead of reaching the file; once.
//   ArmSticky(op, n, code)  the n-th and every later one fail, like a disk that has
//                           filled up (code SQLITE_FULL), until Disarm().
//   ArmCrash(n)             the n-th operation of any kind and every later one fail
//                           (SQLITE_IOERR), until Disarm(): nothing more reaches the disk,
//                           as after a crash of a program that stops at its first failure.
//   ArmKill(op, n)          the n-th such operation ends the process at once
//                           (_exit(kKilled)) before it reaches the file, as a kill -9
//                           does: no destructor, no clean-up. Run it in a child process.
// A failed operation never reaches the file: a failed write leaves the file's bytes as
// they were, a failed read zero-fills the caller's buffer. Arming replaces any earlier
// arming; Disarm() ends it, fired() tells whether the armed fault has failed anything
// since it was armed. A test finds every failure point of a cycle by arming n = 1, 2, 3
// ... until a cycle completes with fired() false.
//
// SetObserver(f) calls f(op) before each counted operation, outside the lock (a
// simulation kills a forked child there, or samples its memory); SetSleep(f) makes
// SQLite's waits (its busy handler) call f(microseconds) instead of sleeping, so that a
// lock held by another connection costs simulated time only. Both: empty to undo.
//
// Memory-mapped reads (PRAGMA mmap_size, off by default) bypass xRead and are not
// counted. All members are safe from any thread.
#ifndef WARDEX_TESTS_SUPPORT_FAULT_VFS_H_
#define WARDEX_TESTS_SUPPORT_FAULT_VFS_H_

#include <functional>
#include <mutex>

namespace kv {
namespace testing {

class FaultVfs {
public:
    enum class Op { kRead = 0, kWrite = 1, kSync = 2, kTruncate = 3, kDelete = 4 };
    // The exit status of a process ended by ArmKill.
    static constexpr int kKilled = 86;

    // The VFS's registered name, for sqlite3_open_v2's zVfs.
    static const char* Name();

    // Registers the VFS as the default the first time; afterwards only returns it.
    static FaultVfs& Install();

    void Arm(Op op, int nth, int error_code);
    void ArmSticky(Op op, int nth, int error_code);
    void ArmCrash(int nth);
    void ArmKill(Op op, int nth);
    void Disarm();
    bool fired() const;

    // Operations of the kind since the last ResetCounts (or since Install), failed
    // ones included.
    int Count(Op op) const;
    void ResetCounts();

    void SetObserver(std::function<void(Op)> observer);
    void SetSleep(std::function<void(int)> sleep);

    FaultVfs(const FaultVfs&) = delete;
    FaultVfs& operator=(const FaultVfs&) = delete;

    struct Shim;  // opaque; named here only so that SQLite's callbacks can reach it

private:
    static constexpr int kOps = 5;

    FaultVfs() = default;

    void Arm(Op op, int nth, int error_code, bool sticky);

    // Counts one operation; returns the error code it must fail with, or 0 when it goes
    // on to the file.
    int OnOperation(Op op);
    // The sleep hook's answer, or -1 when SQLite should sleep for real.
    int OnSleep(int microseconds);

    mutable std::mutex mutex_;
    int counts_[kOps] = {0, 0, 0, 0, 0};
    bool armed_ = false;
    bool sticky_ = false;
    bool any_op_ = false;  // armed by ArmCrash
    bool kill_ = false;    // armed by ArmKill
    Op armed_op_ = Op::kWrite;
    int armed_nth_ = 0;
    int armed_code_ = 0;
    int seen_since_arming_ = 0;  // operations of armed_op_ since Arm
    bool fired_ = false;
    std::function<void(Op)> observer_;
    std::function<void(int)> sleep_;
};

}  // namespace testing
}  // namespace kv

#endif  // WARDEX_TESTS_SUPPORT_FAULT_VFS_H_
