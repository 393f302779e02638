#include "main/service/service_control_state.h"

#include <gtest/gtest.h>

#include "fakes/fake_service_status.h"

namespace lumar {
namespace {

using test::Events;
using test::FakeStatusSink;

TEST(UpdateLease, IsHeldOnceTravelsByMoveAndGivesTheServiceBackOnce) {
  Events events;
  ServiceControlState control;
  control.set_status_handle(std::make_unique<FakeStatusSink>(events));
  UpdateLease first = UpdateLease::acquire(control);
  ASSERT_TRUE(first);
  // A second update finds the flag taken: its empty lease changes nothing.
  UpdateLease busy = UpdateLease::acquire(control);
  EXPECT_FALSE(busy);
  busy = UpdateLease();
  EXPECT_TRUE(control.update_in_progress);
  EXPECT_TRUE(events.empty());

  UpdateLease moved = std::move(first);
  EXPECT_FALSE(first);
  { const UpdateLease last = std::move(moved); }
  EXPECT_FALSE(control.update_in_progress);
  EXPECT_EQ(events, (Events{"report stop accepted"}));
  moved.release();
  first.release();
  EXPECT_EQ(events.size(), 1u);
}

}  // namespace
}  // namespace lumar
