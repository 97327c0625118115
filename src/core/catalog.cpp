// The product and platform table.
#include "core/catalog.h"

#include <strings.h>

#include "core/safe_text.h"

namespace catalog {

namespace {

const Platform le{.name = "LE", .tag = "_le_", .platform = 2};
const Platform lu{.name = "LU", .tag = "_lu_", .platform = 1};
const Platform lu10{.name = "LU1.0", .tag = "_lu1.0_", .platform = 1};
const Platform lu20{.name = "LU2.0", .tag = "_lu2.0_", .platform = 1};
const Platform le10{.name = "LE1.0", .tag = "_le1.0_", .platform = 2};
const Platform le20{.name = "LE2.0", .tag = "_le2.0_", .platform = 2};

} // namespace

const std::vector<Product> &products(void)
{
    static const std::vector<Product> table = {
        {.number = "1", .code = "kt1", .title = "KT1", .platforms = {le}},
        {.number = "2", .code = "kt2", .title = "KT2", .platforms = {le}},
        {.number = "3", .code = "kt3gen2", .title = "KT3 Gen2", .platforms = {lu}},
        {.number = "4", .code = "kt5", .title = "KT5", .platforms = {lu10, lu20, le10, le20}},
        {.number = "5", .code = "kt5n", .title = "KT5N(Non-Pop)", .platforms = {lu20}},
        {.number = "6", .code = "kt6", .title = "KT6", .platforms = {lu}},
        {.number = "7", .code = "mx7200", .title = "MX7200", .platforms = {lu}},
    };
    return table;
}

const Product *find_product(const std::string &code)
{
    for (const Product &product : products()) {
        if (strcasecmp(product.code, code.c_str()) == 0)
            return &product;
    }
    return nullptr;
}

const Platform *find_platform(const Product &product, const std::string &name)
{
    for (const Platform &platform : product.platforms) {
        if (strcasecmp(platform.name, name.c_str()) == 0)
            return &platform;
    }
    // kt5n's only platform is LU2.0; plain LU names it too.
    if (product.platforms.size() == 1 &&
        strncasecmp(product.platforms[0].name, name.c_str(), name.size()) == 0 && name.size() == 2)
        return &product.platforms[0];
    return nullptr;
}

std::string platform_names(const Product &product)
{
    std::string names;
    for (const Platform &platform : product.platforms) {
        if (!names.empty())
            names += ", ";
        names += platform.name;
    }
    return names;
}

std::string product_refusal(const std::string &name)
{
    std::string codes;
    for (const Product &product : products())
        codes += std::string(codes.empty() ? "" : ", ") + product.code;
    return "unknown product '" + printable(name) + "' (" + codes + ")";
}

std::string platform_refusal(const std::string &name, const std::string &product_code)
{
    const Product *product = find_product(product_code);
    return "platform '" + printable(name) + "' does not fit " + product_code + " (" +
           (product ? platform_names(*product) : "") + ")";
}

} // namespace catalog
