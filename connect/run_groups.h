#pragma once

#include <cstddef>
#include <sys/types.h>

/// The process groups of the bounded runs in flight, so that a signal that ends the program ends them too.
/// Each run's child leads a group of its own, which keeps it out of reach of the terminal's Ctrl-C: without
/// this, an interrupted program would leave its verifier running, orphaned.
///
/// Everything here is lock-free atomics, so that the signal handler may read it while any thread changes it.
namespace RunGroups {

/// How many runs may be in flight at once. A spawn beyond that is refused rather than left unstoppable.
inline constexpr std::size_t capacity = 64;

/// Installs the handler of SIGINT, SIGTERM and SIGHUP: it ends every registered group with SIGKILL, then the
/// program with the same signal, so that it dies of it as it would have without the handler (a shell sees
/// 128+N). A signal the program was started with ignored, as under nohup, stays ignored. Call once, at the
/// start of main, before any thread starts.
void installSignalHandlers();

/// Held across one spawn. It counts the spawn as in progress, so that a signal that comes meanwhile is
/// acted on only once the child is registered, and reserves the child's slot beforehand, so that
/// registering cannot fail once the child exists.
class SpawnSlot {
  public:
    SpawnSlot();
    /// Frees the slot unless a child was registered in it. If a stopping signal came during the spawn and no
    /// other spawn is still in progress, does what the handler left undone, and does not return.
    ~SpawnSlot();
    SpawnSlot(const SpawnSlot&) = delete;
    SpawnSlot& operator=(const SpawnSlot&) = delete;

    /// False when every slot is taken, or the program is being stopped: nothing may be started then.
    bool reserved() const { return index_ < capacity; }
    /// Registers `pid`, the leader of a new process group, in the reserved slot.
    void hold(pid_t pid);

  private:
    std::size_t index_ = capacity;
    bool held_ = false;
};

/// Unregisters `pid`. Called once the child has exited and before it is reaped: until then its id, and so
/// its group's, cannot be given to another process, so the handler never signals a stranger.
void release(pid_t pid);

} // namespace RunGroups
