// What the resource server offers, as data: the seven products, the software
// platform each runs (kt5 offers both, in two generations), and the tag that
// names a platform's release list ("<product><tag>release_ver.txt").
#pragma once

#include <string>
#include <vector>

namespace catalog {

struct Platform {
    const char *name; // "LU", "LE", "LU1.0", "LU2.0", "LE1.0", "LE2.0"
    const char *tag;  // "_lu_", "_le_", "_lu1.0_", ...
    int platform;     // 1 for LU, 2 for LE (the global `platform`)
};

struct Product {
    const char *number; // the answer at the product menu, "1" to "7"
    const char *code;   // "kt1", ... (the global `s_product`)
    const char *title;  // "KT1", "KT3 Gen2", ...
    std::vector<Platform> platforms;
};

// The products in menu order.
const std::vector<Product> &products(void);

// The product with this code, any case (kt5, KT5); nullptr when none.
const Product *find_product(const std::string &code);

// The platform of product with this name, any case; nullptr when it does
// not fit the product.
const Platform *find_platform(const Product &product, const std::string &name);

// The names of product's platforms, comma-separated ("LU, LE, LU1.0, ...").
std::string platform_names(const Product &product);

// Why a product or platform name given on the command line is refused, with
// the names there are: "unknown product 'x' (kt1, kt2, ...)", "platform 'x'
// does not fit kt6 (LU)".
std::string product_refusal(const std::string &name);
std::string platform_refusal(const std::string &name, const std::string &product_code);

} // namespace catalog
