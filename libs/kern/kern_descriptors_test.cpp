#include "kern_descriptors.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "kern_testutil.h"
#include "testsupport_logcapture.h"

namespace kern {
namespace {

using testutil::FailureRecorder;
using testutil::LogLines;

core::SocketSet readyOf(std::initializer_list<SOCKET> fds) {
    core::SocketSet set;
    core::socketSetZero(&set);
    for (SOCKET fd : fds) {
        core::socketSetAdd(fd, &set);
    }
    return set;
}

TEST(DescriptorSet, WalksReadyRegistrationsInAscendingOrder) {
    StdDescriptorManager manager;
    DescriptorSet& set = manager.readSet();
    Watcher a, b, c;
    a.addReadDescriptor(30);
    b.addReadDescriptor(10);
    c.addReadDescriptor(20);
    // The fd_set keeps insertion order; the walk does not.
    EXPECT_EQ(set.fdset().fd_count, 3u);
    EXPECT_EQ(set.fdset().fd_array[0], 30);
    Watcher::order().clear();
    set.dispatch(readyOf({30, 20, 10, 99}));
    EXPECT_EQ(Watcher::order(), (std::vector<Watcher*>{&b, &c, &a}));
    EXPECT_EQ(a.d_calls, (std::vector<std::pair<SOCKET, int>>{{30, e_READ_SET}}));
    Watcher::order().clear();
    set.dispatch(readyOf({20}));
    EXPECT_EQ(Watcher::order(), (std::vector<Watcher*>{&c}));
}

TEST(DescriptorSet, SecondRegistrationOfAnFdTakesOverWithAWarning) {
    testutil::LogLines log;
    StdDescriptorManager manager;
    Watcher first, second;
    first.addReadDescriptor(7);
    second.addReadDescriptor(7);
    EXPECT_TRUE(log.contains("kern::DescriptorSet::addDescriptor(7,"));
    EXPECT_TRUE(log.contains(") - already exists with notifier "));
    EXPECT_EQ(manager.readSet().fdset().fd_count, 1u);
    manager.readSet().dispatch(readyOf({7}));
    EXPECT_TRUE(first.d_calls.empty());
    EXPECT_EQ(second.d_calls.size(), 1u);
    second.removeReadDescriptor(7);
}

TEST(DescriptorSet, RemovalInsideDispatchIsDeferredAndNotCalledAgain) {
    StdDescriptorManager manager;
    DescriptorSet& set = manager.readSet();
    Watcher self, later, added;
    self.addReadDescriptor(5);
    later.addReadDescriptor(9);
    self.d_on_call = [&](SOCKET fd, int) {
        self.removeReadDescriptor(fd);
        later.removeReadDescriptor(9);        // later in the same walk
        added.addReadDescriptor(12);          // ahead of the walk, ready too
        EXPECT_EQ(set.fdset().fd_count, 3u);  // not purged while walking
    };
    set.dispatch(readyOf({5, 9, 12}));
    EXPECT_EQ(self.d_calls.size(), 1u);
    EXPECT_TRUE(later.d_calls.empty());
    EXPECT_EQ(added.d_calls.size(), 1u);
    EXPECT_EQ(set.numRegistrations(), 1);
    EXPECT_EQ(set.fdset().fd_count, 1u);
    EXPECT_EQ(set.fdset().fd_array[0], 12);
    set.dispatch(readyOf({5, 9, 12}));
    EXPECT_EQ(self.d_calls.size(), 1u);
    EXPECT_EQ(added.d_calls.size(), 2u);
}

TEST(DescriptorSet, DisabledDispatchStopsEarly) {
    StdDescriptorManager manager;
    Watcher a, b;
    a.addReadDescriptor(1);
    b.addReadDescriptor(2);
    a.d_on_call = [&](SOCKET, int) { manager.disableDispatching(); };
    manager.readSet().dispatch(readyOf({1, 2}));
    EXPECT_EQ(a.d_calls.size(), 1u);
    EXPECT_TRUE(b.d_calls.empty());
    a.d_on_call = nullptr;
    manager.enableDispatching();
    manager.readSet().dispatch(readyOf({1, 2}));
    EXPECT_EQ(b.d_calls.size(), 1u);
}

TEST(DescriptorSet, DestroyingAnObjectRemovesAllItsRegistrations) {
    StdDescriptorManager manager;
    {
        Watcher w;
        w.addReadDescriptor(4);
        w.addWriteDescriptor(4);
        w.addExceptionDescriptor(4);
        w.addReadDescriptor(6);
        // Destroyed inside its own callback's walk: purged afterwards.
        manager.writeSet().dispatch(readyOf({}));
    }
    EXPECT_EQ(manager.readSet().numRegistrations(), 0);
    EXPECT_EQ(manager.writeSet().numRegistrations(), 0);
    EXPECT_EQ(manager.exceptionSet().numRegistrations(), 0);
    EXPECT_EQ(manager.readSet().fdset().fd_count, 0u);

    Watcher* doomed = new Watcher;
    Watcher other;
    doomed->addReadDescriptor(3);
    other.addReadDescriptor(8);
    doomed->d_on_call = [&](SOCKET, int) { delete doomed; };
    manager.readSet().dispatch(readyOf({3, 8}));
    EXPECT_EQ(other.d_calls.size(), 1u);
    EXPECT_EQ(manager.readSet().numRegistrations(), 1);
}

TEST(DescriptorSet, MisuseIsReported) {
    testutil::FailureRecorder failures;
    StdDescriptorManager manager;
    Watcher a, b;
    a.removeReadDescriptor(42);
    auto messages = failures.takeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("type=1,fd=42,n=0x", 0), 0u);

    // Wrong object: reported, and the registration goes all the same.
    a.addWriteDescriptor(5);
    b.removeWriteDescriptor(5);
    EXPECT_EQ(failures.takeMessages().size(), 1u);
    EXPECT_EQ(manager.writeSet().numRegistrations(), 0);
    EXPECT_EQ(manager.writeSet().fdset().fd_count, 0u);
}

TEST(DescriptorSet, FdsBeyondCapacityAreRegisteredButNeverReady) {
    StdDescriptorManager manager;
    std::vector<Watcher> watchers(core::k_SOCKET_SET_SIZE + 1);
    for (int i = 0; i <= core::k_SOCKET_SET_SIZE; ++i) {
        watchers[i].addReadDescriptor(100 + i);
    }
    DescriptorSet& set = manager.readSet();
    EXPECT_EQ(set.numRegistrations(), core::k_SOCKET_SET_SIZE + 1);
    EXPECT_EQ(set.fdset().fd_count, static_cast<unsigned>(core::k_SOCKET_SET_SIZE));
    EXPECT_FALSE(core::socketSetHas(100 + core::k_SOCKET_SET_SIZE, &set.fdset()));
    // Removing one makes room only for descriptors registered afterwards.
    watchers[0].removeReadDescriptor(100);
    EXPECT_EQ(set.fdset().fd_count, static_cast<unsigned>(core::k_SOCKET_SET_SIZE - 1));
}

TEST(DescriptorManager, OnePerThreadAndRequiredByTheInterface) {
    testutil::FailureRecorder failures;
    testutil::LogLines log;
    {
        Watcher w;
        w.addReadDescriptor(3);  // no manager
        EXPECT_EQ(failures.takeMessages(),
                  std::vector<std::string>{"no descriptor manager (fd=3)"});
    }
    EXPECT_TRUE(
        log.contains("kern::DescriptorInterface::~DescriptorInterface - destroyed but no manager"));
    StdDescriptorManager first;
    {
        StdDescriptorManager second;
        EXPECT_EQ(DescriptorManager::descriptorManager(), &first);
    }
    EXPECT_EQ(DescriptorManager::descriptorManager(), &first);
    EXPECT_EQ(failures.takeMessages().size(), 1u);
}

TEST(DescriptorManager, DisplayCountsRegistrations) {
    testutil::LogLines log;
    StdDescriptorManager manager;
    Watcher w;
    w.addReadDescriptor(3);
    w.addReadDescriptor(4);
    w.addWriteDescriptor(3);
    manager.display(core::LOG_INFO);
    const auto texts = log.texts(core::LOG_INFO);
    const std::vector<std::string> expected = {"kern::DescriptorSet::display - Read set:",
                                               "kern::DescriptorSet::display - 2 descriptors",
                                               "kern::DescriptorSet::display - Write set:",
                                               "kern::DescriptorSet::display - 1 descriptors",
                                               "kern::DescriptorSet::display - Exception set:",
                                               "kern::DescriptorSet::display - 0 descriptors"};
    EXPECT_EQ(texts, expected);
    log.clear();
    manager.display(core::LOG_NORM);
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace kern
