// The erase bookings' lifetime on a clock the test moves: a booking serves its task until its lifetime
// has passed, and then neither serves one nor counts against its user's bound.
#include "platform/tasks/erasebookings.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEraseBooking bookingOf(int userId, const std::string& path) {
    TEraseBooking booking;
    booking.userId = userId;
    booking.clientId = 2;
    booking.appType = 33;
    booking.instanceId = 1;
    booking.backupSetId = 3;
    booking.subclientId = 4;
    booking.paths = {path};
    return booking;
}

TEST(ClockExpiry, EraseBookingsLapseAtTheirLifetimeNotBefore) {
    using namespace std::chrono_literals;
    CHubManualClock clock;
    CEraseBookings bookings(clock);
    // A user's whole share of bookings, and one booking each to take before and at the lifetime.
    ASSERT_EQ(bookings.book(bookingOf(7, "/before")), "");
    ASSERT_EQ(bookings.book(bookingOf(7, "/at")), "");
    for (size_t i = 2; i < CEraseBookings::kMaxBookingsPerUser; ++i)
        ASSERT_EQ(bookings.book(bookingOf(7, "/more/" + std::to_string(i))), "");
    EXPECT_NE(bookings.bookingProblem(bookingOf(7, "/one-too-many")), "");

    clock.advance(CEraseBookings::kLifetime - 1s);
    EXPECT_EQ(bookings.size(), CEraseBookings::kMaxBookingsPerUser);
    EXPECT_TRUE(bookings.take(bookingOf(7, "/before")));
    EXPECT_EQ(bookings.book(bookingOf(7, "/refilled")), "");  // the share is full again
    EXPECT_NE(bookings.bookingProblem(bookingOf(7, "/one-too-many")), "");

    clock.advance(1s);
    EXPECT_FALSE(bookings.take(bookingOf(7, "/at")));
    EXPECT_EQ(bookings.size(), 1u);  // only the booking made a second ago
    EXPECT_EQ(bookings.book(bookingOf(7, "/one-too-many")), "");
    // The paths of a lapsed booking may be booked again.
    EXPECT_EQ(bookings.book(bookingOf(7, "/at")), "");
}

}  // namespace
