// The page's files: embedded ones, and the charting library read from its
// directory or, when missing, a stand-in that tells the page why.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "web_assets.h"

namespace {

std::string text(const void *p, size_t n)
{
    return std::string((const char *)p, n);
}

TEST(WebAssets, RoutesServeThePageAndTheLibrary)
{
    char dir[] = "/tmp/cv-web-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    for (const char *name : {"dygraph.min.js", "dygraph.min.css"}) {
        FILE *f = fopen((std::string(dir) + "/" + name).c_str(), "w");
        ASSERT_NE(f, nullptr);
        fprintf(f, "/* %s */", name);
        fclose(f);
    }
    WebLibrary lib;
    ASSERT_TRUE(webLibraryLoad(&lib, dir)) << lib.error;
    HttpRoute routes[kWebRoutesMax];
    size_t n = webRoutes(&lib, routes, kWebRoutesMax);
    std::string paths;
    for (size_t i = 0; i < n; i++)
        paths += std::string(routes[i].path) + " ";
    EXPECT_EQ(paths, "/ /page.js /page.css /dygraph.min.js /dygraph.min.css ");
    EXPECT_NE(text(routes[0].fixed, routes[0].fixedSize).find("<script src=\"page.js\""), std::string::npos);
    EXPECT_EQ(text(routes[3].fixed, routes[3].fixedSize), "/* dygraph.min.js */");
    EXPECT_EQ(text(routes[4].fixed, routes[4].fixedSize), "/* dygraph.min.css */");
    webLibraryFree(&lib);
    for (const char *name : {"dygraph.min.js", "dygraph.min.css"})
        remove((std::string(dir) + "/" + name).c_str());
    // gone: the stand-in script carries the reason
    EXPECT_FALSE(webLibraryLoad(&lib, dir));
    EXPECT_NE(std::string(lib.error).find("/dygraph.min.js: No such file"), std::string::npos) << lib.error;
    EXPECT_EQ(text(lib.js.data, lib.js.size).rfind("window.cvfChartsMissing = \"cannot read ", 0), 0u);
    EXPECT_EQ(lib.css.size, 0u);
    webLibraryFree(&lib);
    rmdir(dir);
}

}  // namespace
