// The hand-back mark of a VM browse as it travels: the request a direct caller receives carries the VM
// index kind (200107) in its routing block and 1 in its advanced block's direct-caller marker, and
// only both together mark it.
#include "platform/entities/vmhandback.h"

#include <gtest/gtest.h>

namespace {

using R = databrowse::BrowseRequest::f;

databrowse::BrowseRequest byHand(int64_t indexKind, int64_t marker) {
    databrowse::BrowseRequest request;
    request.getObjectAccessor(R::indexing, true)
        ->getObjectAccessor(databrowse::Msg91::f::indexingInfo, true)
        ->setint64(databrowse::IndexingInfo::f::idxAppType, indexKind);
    request.getObjectAccessor(R::advOptions, true)->setint64(databrowse::Msg63::f::directApiMarker, marker);
    return request;
}

// What arrives over the network: the XML of the request, read back.
std::unique_ptr<CNMessageBase> travelled(const databrowse::BrowseRequest& request) {
    std::string xml;
    EXPECT_EQ(const_cast<databrowse::BrowseRequest&>(request).serialize(xml), 0);
    auto back = std::make_unique<databrowse::BrowseRequest>();
    EXPECT_EQ(back->unserialize(xml), 0);
    return back;
}

}  // namespace

TEST(VmHandBack, TheMarkIsBothPartsAsTheyTravel) {
    databrowse::BrowseRequest marked;
    marked.setint64(R::opType, databrowse::BROWSE_OP_BROWSE);
    vmhandback::mark(marked);
    EXPECT_TRUE(vmhandback::isMarked(*travelled(marked)));
    EXPECT_TRUE(vmhandback::isMarked(*travelled(byHand(200107, 1))));

    // Either part alone, or another index kind, is no mark.
    EXPECT_FALSE(vmhandback::isMarked(*travelled(byHand(200107, 0))));
    EXPECT_FALSE(vmhandback::isMarked(*travelled(byHand(200106, 1))));
    databrowse::BrowseRequest kindOnly;
    kindOnly.getObjectAccessor(R::indexing, true)
        ->getObjectAccessor(databrowse::Msg91::f::indexingInfo, true)
        ->setint64(databrowse::IndexingInfo::f::idxAppType, 200107);
    EXPECT_FALSE(vmhandback::isMarked(*travelled(kindOnly)));
    EXPECT_FALSE(vmhandback::isMarked(databrowse::BrowseRequest()));
    // An answer is never a hand-back, whatever it holds.
    EXPECT_FALSE(vmhandback::isMarked(databrowse::BrowseResponse()));
}
