// Definitions of the application globals declared in state.h.
#include "core/state.h"

char target_path[512] = "/home/";

const char *const s_product_kt1 = "kt1";
const char *const s_product_kt2 = "kt2";
const char *const s_product_kt3gen2 = "kt3gen2";
const char *const s_product_kt5 = "kt5";
const char *const s_product_kt5n = "kt5n";
const char *const s_product_kt6 = "kt6";
const char *const s_product_mx7200 = "mx7200";
const char *s_product = s_product_kt5;

int platform = 2;

char release_ver[64] = "";
char check_sum[128] = "";
char dev_name[128] = "";

const char *const tardir_filename = "ostrelle_dir.txt";
char subdirs[1][64] = {"files/"};
const char *const config_filename = "release_ver.txt";
const char *const toolchain_ver = "_le_toolchain_ver.txt";
const char *const prog_name = "Ostrelle";
const char *const sdk_ver = "4.1.0";
