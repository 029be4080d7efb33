// kern_descriptors.h                                              -*-C++-*-
//
// Descriptor sets of the event kernel.  An object that owns a socket derives
// from 'DescriptorInterface', registers the socket for reading, writing or
// exceptional conditions, and is called back with 'handleDescriptor' when
// the kernel's 'select' reports it ready.  The thread's
// 'StdDescriptorManager' (created by the kernel) holds the three
// 'DescriptorSet's.  Dispatch walks registrations in ascending descriptor
// order; callbacks may add and remove registrations freely (removal during a
// walk is deferred, and a removed registration is not called again).
//
// Thread safety: kernel thread only.
#ifndef INCLUDED_KERN_DESCRIPTORS
#define INCLUDED_KERN_DESCRIPTORS

#include <map>
#include <utility>
#include <vector>

#include "platform/core_winsock.h"

namespace kern {

class DescriptorInterface;

// Set types, passed to every callback.
enum DescriptorSetType : int { e_READ_SET = 1, e_WRITE_SET = 2, e_EXCEPTION_SET = 3 };

class DescriptorSet {
  public:
    explicit DescriptorSet(int type);
    DescriptorSet(const DescriptorSet&) = delete;
    DescriptorSet& operator=(const DescriptorSet&) = delete;

    // Registers 'object' for 'fd'; an existing registration is taken over
    // (with a WARN line when it had an object).
    void addDescriptor(SOCKET fd, DescriptorInterface* object);
    // Removes the registration of 'fd', which must belong to 'object'.
    void removeDescriptor(SOCKET fd, DescriptorInterface* object);
    // Removes every registration of 'object'.
    void removeAll(DescriptorInterface* object);
    // Calls the objects whose descriptor is in 'ready', ascending.
    void dispatch(const core::SocketSet& ready);
    // Takes every descriptor that is not an open socket out of the set handed
    // to 'select', which fails as a whole while one is in it, and appends it
    // with its object to 'out'.  The registration stays, so that its owner
    // can still remove it.
    void setAsideClosed(std::vector<std::pair<SOCKET, DescriptorInterface*>>* out);
    // Makes a running dispatch stop before its next registration.
    void setDispatchEnabled(bool enabled) { d_dispatch_enabled = enabled; }
    // Logs "%d descriptors" at 'logType'.
    void display(int logType) const;

    // ACCESSORS
    const core::SocketSet& fdset() const { return d_fdset; }
    int type() const { return d_type; }
    // Registrations, null objects (awaiting purge) included.
    int numRegistrations() const { return static_cast<int>(d_registrations.size()); }
    DescriptorInterface* object(SOCKET fd) const;
    bool isDispatching() const { return d_dispatching; }

  private:
    core::SocketSet d_fdset;
    int d_type;
    std::map<SOCKET, DescriptorInterface*> d_registrations;
    bool d_dispatching = false;
    bool d_purge_pending = false;
    bool d_dispatch_enabled = true;
    std::vector<SOCKET> d_ready;  // scratch of 'dispatch'
};

// The thread's descriptor manager.  Registers itself in the thread context
// (a second one on a thread is a failed check).
class DescriptorManager {
  public:
    // The calling thread's manager, or null.
    static DescriptorManager* descriptorManager();

    DescriptorManager();
    virtual ~DescriptorManager();
    DescriptorManager(const DescriptorManager&) = delete;
    DescriptorManager& operator=(const DescriptorManager&) = delete;

    virtual void display(int logType) = 0;
    virtual void addWriteDescriptor(SOCKET fd, DescriptorInterface* object) = 0;
    virtual void removeWriteDescriptor(SOCKET fd, DescriptorInterface* object) = 0;
    virtual void addReadDescriptor(SOCKET fd, DescriptorInterface* object) = 0;
    virtual void removeReadDescriptor(SOCKET fd, DescriptorInterface* object) = 0;
    virtual void addExceptionDescriptor(SOCKET fd, DescriptorInterface* object) = 0;
    virtual void removeExceptionDescriptor(SOCKET fd, DescriptorInterface* object) = 0;
    virtual void removeAll(DescriptorInterface* object) = 0;
    virtual void disableDispatching() = 0;
    virtual void enableDispatching() = 0;

  private:
    bool d_registered = false;
};

class StdDescriptorManager : public DescriptorManager {
  public:
    StdDescriptorManager();
    ~StdDescriptorManager() override;

    void display(int logType) override;
    void addWriteDescriptor(SOCKET fd, DescriptorInterface* object) override;
    void removeWriteDescriptor(SOCKET fd, DescriptorInterface* object) override;
    void addReadDescriptor(SOCKET fd, DescriptorInterface* object) override;
    void removeReadDescriptor(SOCKET fd, DescriptorInterface* object) override;
    void addExceptionDescriptor(SOCKET fd, DescriptorInterface* object) override;
    void removeExceptionDescriptor(SOCKET fd, DescriptorInterface* object) override;
    void removeAll(DescriptorInterface* object) override;
    void disableDispatching() override;
    void enableDispatching() override;

    // After a failed 'select': sets aside the descriptors of the three sets
    // that are not open sockets (see 'DescriptorSet::setAsideClosed'), names
    // each at WARN, and answers how many there were.
    int setAsideClosed();

    DescriptorSet& readSet() { return d_read; }
    DescriptorSet& writeSet() { return d_write; }
    DescriptorSet& exceptionSet() { return d_exception; }

  private:
    DescriptorSet d_read;
    DescriptorSet d_write;
    DescriptorSet d_exception;
};

// Base of every object that watches a socket.
class DescriptorInterface {
  public:
    // Removes every registration of this object.
    virtual ~DescriptorInterface();

    // Called when 'fd' is ready in the set of 'type' (DescriptorSetType).
    virtual void handleDescriptor(SOCKET fd, int type) = 0;

    // Forward (fd, this) to the thread's descriptor manager; without one,
    // a failed check.
    void addReadDescriptor(SOCKET fd);
    void removeReadDescriptor(SOCKET fd);
    void addWriteDescriptor(SOCKET fd);
    void removeWriteDescriptor(SOCKET fd);
    void addExceptionDescriptor(SOCKET fd);
    void removeExceptionDescriptor(SOCKET fd);

  protected:
    DescriptorInterface() = default;
    DescriptorInterface(const DescriptorInterface&) = delete;
    DescriptorInterface& operator=(const DescriptorInterface&) = delete;
};

}  // namespace kern

#endif
