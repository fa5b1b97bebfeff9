#include "platform/Log.h"

#include <gtest/gtest.h>

using namespace quillmere;

namespace {
template <typename... Args>
std::string format(std::string_view text, Args&&... args)
{
    const LogArg list[] = {toLogArg(std::forward<Args>(args))..., std::int64_t{0}};
    return formatLogMessage(text, std::span(list, sizeof...(Args)));
}
} // namespace

TEST(LogFormat, UnifiedLogSpecifiersKeepTheirPrintedForms)
{
    EXPECT_EQ(format("PiP frame received #%ld bytes=%ld panelVisible=%{bool}d panelOccluded=%{bool}d",
                     5, 123456789012LL, true, false),
              "PiP frame received #5 bytes=123456789012 panelVisible=true panelOccluded=false");
    EXPECT_EQ(format("PiP diag: hidden=%{bool}d visibility=%{public}s hasFocus=%{bool}d videoPaused=%{bool}d "
                     "videoTime=%f videoReadyState=%ld",
                     false, std::string("?"), false, false, -1.0, -1),
              "PiP diag: hidden=false visibility=? hasFocus=false videoPaused=false videoTime=-1.000000 videoReadyState=-1");
    EXPECT_EQ(format("Compiling content rule list from %{public}s (%{public}ld bytes)", "quilblock_rules.json", 42),
              "Compiling content rule list from quilblock_rules.json (42 bytes)");
    EXPECT_EQ(format("Ad blocking %s across %ld tab(s)", "enabled", 2), "Ad blocking enabled across 2 tab(s)");
    EXPECT_EQ(format("100%% done, %f", 2.5), "100% done, 2.500000");
}

TEST(LogFormat, ArgumentsAreNeverInterpretedAsFormats)
{
    EXPECT_EQ(format("Homepage saved: %{public}s", "%s %n %{bool}d"), "Homepage saved: %s %n %{bool}d");
    EXPECT_EQ(format("a %{public}s b"), "a <missing> b");
    EXPECT_EQ(format("trailing %"), "trailing %");
}
