#include "kern_descriptors.h"

#include <algorithm>
#include <typeinfo>

#include "core_assert.h"
#include "core_check.h"
#include "core_v2masterlogger.h"
#include "kern_threadcontext.h"
#include "platform/core_platform.h"

namespace kern {

// DescriptorSet

DescriptorSet::DescriptorSet(int type) : d_type(type) {
    core::socketSetZero(&d_fdset);
}

DescriptorInterface* DescriptorSet::object(SOCKET fd) const {
    const auto it = d_registrations.find(fd);
    return it == d_registrations.end() ? nullptr : it->second;
}

void DescriptorSet::addDescriptor(SOCKET fd, DescriptorInterface* object) {
    const auto it = d_registrations.find(fd);
    if (it != d_registrations.end()) {
        if (it->second) {
            LOG_WARN("kern::DescriptorSet::addDescriptor",
                     "(%d,%p) - already exists with notifier %p", fd, object, it->second);
        }
        it->second = object;
        // Set aside when an earlier socket of this number was closed.
        core::socketSetAdd(fd, &d_fdset);
        return;
    }
    d_registrations.emplace(fd, object);
    // A descriptor beyond the set's capacity stays registered but is never
    // reported ready.
    core::socketSetAdd(fd, &d_fdset);
}

void DescriptorSet::removeDescriptor(SOCKET fd, DescriptorInterface* object) {
    const auto it = d_registrations.find(fd);
    if (it == d_registrations.end()) {
        if (core::Assert::checkLevel() >= 1) {
            CHECKF_AS(!core::socketSetHas(fd, &d_fdset),
                      "!__WSAFDIsSet((SOCKET)(fd.get()), (fd_set  *)(&d_fdset))");
        }
        CHECKF(false, "type=%d,fd=%d,n=%p", d_type, fd, object);
        return;
    }
    CHECKF(it->second == object, "type=%d,fd=%d,n=%p is registered for %p", d_type, fd, object,
           it->second);
    if (d_dispatching) {
        it->second = nullptr;
        d_purge_pending = true;
        return;
    }
    d_registrations.erase(it);
    core::socketSetRemove(fd, &d_fdset);
}

void DescriptorSet::removeAll(DescriptorInterface* object) {
    for (auto it = d_registrations.begin(); it != d_registrations.end();) {
        if (it->second != object || object == nullptr) {
            ++it;
        } else if (d_dispatching) {
            it->second = nullptr;
            d_purge_pending = true;
            ++it;
        } else {
            core::socketSetRemove(it->first, &d_fdset);
            it = d_registrations.erase(it);
        }
    }
}

void DescriptorSet::setAsideClosed(std::vector<std::pair<SOCKET, DescriptorInterface*>>* out) {
    const std::vector<SOCKET> watched(d_fdset.fd_array, d_fdset.fd_array + d_fdset.fd_count);
    for (const SOCKET fd : watched) {
        int pending = 0;
        if (!core::socketPendingError(fd, &pending)) {
            core::socketSetRemove(fd, &d_fdset);
            out->emplace_back(fd, object(fd));
        }
    }
}

void DescriptorSet::dispatch(const core::SocketSet& ready) {
    d_dispatching = true;
    // Walking the ready descriptors in ascending order and looking each one
    // up visits exactly the ready registrations an ascending walk of all
    // registrations would, including those added ahead of the walk.
    d_ready.assign(ready.fd_array, ready.fd_array + ready.fd_count);
    std::sort(d_ready.begin(), d_ready.end());
    d_ready.erase(std::unique(d_ready.begin(), d_ready.end()), d_ready.end());
    for (const SOCKET fd : d_ready) {
        if (!d_dispatch_enabled) {
            break;
        }
        const auto it = d_registrations.find(fd);
        if (it != d_registrations.end() && it->second) {
            it->second->handleDescriptor(fd, d_type);
        }
    }
    d_dispatching = false;
    if (d_purge_pending) {
        d_purge_pending = false;
        for (auto it = d_registrations.begin(); it != d_registrations.end();) {
            if (it->second) {
                ++it;
            } else {
                core::socketSetRemove(it->first, &d_fdset);
                it = d_registrations.erase(it);
            }
        }
    }
}

void DescriptorSet::display(int logType) const {
    core::MasterLogger::logf(logType, "kern::DescriptorSet::display", "%d descriptors",
                             numRegistrations());
}

// DescriptorManager

DescriptorManager* DescriptorManager::descriptorManager() {
    return KernelThreadContext::current().d_descriptor_manager;
}

DescriptorManager::DescriptorManager() {
    KernelThreadContext& context = KernelThreadContext::current();
    if (CHECKF(context.d_descriptor_manager == nullptr,
               "a descriptor manager exists on this thread")) {
        context.d_descriptor_manager = this;
        d_registered = true;
    }
}

DescriptorManager::~DescriptorManager() {
    KernelThreadContext& context = KernelThreadContext::current();
    if (d_registered &&
        CHECKF(context.d_descriptor_manager == this, "not the registered descriptor manager")) {
        context.d_descriptor_manager = nullptr;
    }
}

// StdDescriptorManager

StdDescriptorManager::StdDescriptorManager()
    : d_read(e_READ_SET), d_write(e_WRITE_SET), d_exception(e_EXCEPTION_SET) {}

StdDescriptorManager::~StdDescriptorManager() = default;

void StdDescriptorManager::display(int logType) {
    if (logType != 0 && !core::isLogEnabled(logType)) {
        return;
    }
    const char* const tag = "kern::DescriptorSet::display";
    core::MasterLogger::log(logType, tag, "Read set:");
    d_read.display(logType);
    core::MasterLogger::log(logType, tag, "Write set:");
    d_write.display(logType);
    core::MasterLogger::log(logType, tag, "Exception set:");
    d_exception.display(logType);
}

void StdDescriptorManager::addWriteDescriptor(SOCKET fd, DescriptorInterface* object) {
    d_write.addDescriptor(fd, object);
}

void StdDescriptorManager::removeWriteDescriptor(SOCKET fd, DescriptorInterface* object) {
    d_write.removeDescriptor(fd, object);
}

void StdDescriptorManager::addReadDescriptor(SOCKET fd, DescriptorInterface* object) {
    d_read.addDescriptor(fd, object);
}

void StdDescriptorManager::removeReadDescriptor(SOCKET fd, DescriptorInterface* object) {
    d_read.removeDescriptor(fd, object);
}

void StdDescriptorManager::addExceptionDescriptor(SOCKET fd, DescriptorInterface* object) {
    d_exception.addDescriptor(fd, object);
}

void StdDescriptorManager::removeExceptionDescriptor(SOCKET fd, DescriptorInterface* object) {
    d_exception.removeDescriptor(fd, object);
}

void StdDescriptorManager::removeAll(DescriptorInterface* object) {
    d_write.removeAll(object);
    d_read.removeAll(object);
    d_exception.removeAll(object);
}

int StdDescriptorManager::setAsideClosed() {
    static const char* const k_SET_NAMES[] = {"", "read", "write", "exception"};
    int count = 0;
    for (DescriptorSet* set : {&d_read, &d_write, &d_exception}) {
        std::vector<std::pair<SOCKET, DescriptorInterface*>> closed;
        set->setAsideClosed(&closed);
        for (const auto& [fd, object] : closed) {
            LOG_WARN("kern::StdDescriptorManager::setAsideClosed",
                     "(%d) - not an open socket, no longer watched in the %s set of %s", fd,
                     k_SET_NAMES[set->type()],
                     object ? core::readableTypeName(typeid(*object)) : std::string("nobody"));
        }
        count += static_cast<int>(closed.size());
    }
    return count;
}

void StdDescriptorManager::disableDispatching() {
    d_read.setDispatchEnabled(false);
    d_write.setDispatchEnabled(false);
    d_exception.setDispatchEnabled(false);
}

void StdDescriptorManager::enableDispatching() {
    d_read.setDispatchEnabled(true);
    d_write.setDispatchEnabled(true);
    d_exception.setDispatchEnabled(true);
}

// DescriptorInterface

namespace {

DescriptorManager* managerOrFail(SOCKET fd) {
    DescriptorManager* manager = DescriptorManager::descriptorManager();
    CHECKF(manager != nullptr, "no descriptor manager (fd=%d)", fd);
    return manager;
}

}  // namespace

DescriptorInterface::~DescriptorInterface() {
    if (DescriptorManager* manager = DescriptorManager::descriptorManager()) {
        manager->removeAll(this);
    } else {
        LOG_WARN("kern::DescriptorInterface::~DescriptorInterface", "destroyed but no manager");
    }
}

void DescriptorInterface::addReadDescriptor(SOCKET fd) {
    if (DescriptorManager* manager = managerOrFail(fd)) {
        manager->addReadDescriptor(fd, this);
    }
}

void DescriptorInterface::removeReadDescriptor(SOCKET fd) {
    if (DescriptorManager* manager = managerOrFail(fd)) {
        manager->removeReadDescriptor(fd, this);
    }
}

void DescriptorInterface::addWriteDescriptor(SOCKET fd) {
    if (DescriptorManager* manager = managerOrFail(fd)) {
        manager->addWriteDescriptor(fd, this);
    }
}

void DescriptorInterface::removeWriteDescriptor(SOCKET fd) {
    if (DescriptorManager* manager = managerOrFail(fd)) {
        manager->removeWriteDescriptor(fd, this);
    }
}

void DescriptorInterface::addExceptionDescriptor(SOCKET fd) {
    if (DescriptorManager* manager = managerOrFail(fd)) {
        manager->addExceptionDescriptor(fd, this);
    }
}

void DescriptorInterface::removeExceptionDescriptor(SOCKET fd) {
    if (DescriptorManager* manager = managerOrFail(fd)) {
        manager->removeExceptionDescriptor(fd, this);
    }
}

}  // namespace kern
