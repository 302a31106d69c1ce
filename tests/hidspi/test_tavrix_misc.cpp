// Device type, delays and the helpers under the transports.
#include "tavrix_hidapi.h"
#include "tavrix_test_util.h"

#include <string>

namespace {

class MiscTest : public TavrixSimTest {};

TEST_F(MiscTest, DeviceTypeSelectsTheTransport) {
    EXPECT_EQ(1, XF_GetDevType());
    EXPECT_EQ(1, XF_SetDevType(7));
    EXPECT_EQ(7, XF_GetDevType());
    // Any non-zero type is the controller.
    EXPECT_EQ(1, UserSys_Init(1000000));
    EXPECT_EQ(1, ax().open_calls);
    EXPECT_EQ(0, hid().open_calls);
    EXPECT_EQ(1, XF_SetDevType(0));
    EXPECT_EQ(1, UserSys_Init(1000000));
    EXPECT_EQ(1, hid().open_calls);
}

TEST(UserDelay, SleepsOrSpinsForAtLeastTheTime) {
    EXPECT_EQ(1, UserDelay(0));

    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(1, UserDelay(500));
    EXPECT_GE(elapsed_ms(t0), 0.5);

    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(1, UserDelay(1500)); // whole milliseconds: 1 ms
    EXPECT_GE(elapsed_ms(t0), 1.0);

    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(1, UserDelay(3000));
    EXPECT_GE(elapsed_ms(t0), 3.0);
}

TEST(DevicePath, CopyIsBoundedByTheBuffer) {
    char buf[TAVRIX_PATH_CHARS];
    const std::string fits(TAVRIX_PATH_CHARS - 1, 'p');
    EXPECT_EQ(1, tavrix_copy_path(buf, sizeof(buf), fits.c_str()));
    EXPECT_EQ(fits, buf);
    const std::string too_long(TAVRIX_PATH_CHARS, 'q');
    EXPECT_EQ(0, tavrix_copy_path(buf, sizeof(buf), too_long.c_str()));
    EXPECT_STREQ("", buf);
    EXPECT_EQ(0, tavrix_copy_path(buf, sizeof(buf), nullptr));

    wchar_t wbuf[TAVRIX_PATH_CHARS];
    const std::wstring wfits(TAVRIX_PATH_CHARS - 1, L'w');
    EXPECT_EQ(1, tavrix_copy_path_w(wbuf, TAVRIX_PATH_CHARS, wfits.c_str()));
    EXPECT_EQ(wfits, wbuf);
    const std::wstring wlong(TAVRIX_PATH_CHARS + 40, L'x');
    EXPECT_EQ(0, tavrix_copy_path_w(wbuf, TAVRIX_PATH_CHARS, wlong.c_str()));
    EXPECT_EQ(L'\0', wbuf[0]);
}

TEST(HidEnumeration, TakesTheFirstAdapterAndSkipsOthers) {
    std::string long_path(TAVRIX_PATH_CHARS, 'z');
    char p_other_product[] = "/dev/hidraw0";
    char p_other_vendor[] = "/dev/hidraw1";
    char p_first[] = "/dev/hidraw2";
    char p_second[] = "/dev/hidraw3";
    hid_device_info second = {};
    second.path = p_second;
    second.vendor_id = 0x16C0;
    second.product_id = 0x2020;
    hid_device_info first = {};
    first.path = p_first;
    first.vendor_id = 0x16C0;
    first.product_id = 0x2020;
    first.next = &second;
    hid_device_info overlong = {};
    overlong.path = &long_path[0];
    overlong.vendor_id = 0x16C0;
    overlong.product_id = 0x2020;
    overlong.next = &first;
    hid_device_info other_vendor = {};
    other_vendor.path = p_other_vendor;
    other_vendor.vendor_id = 0x16C1;
    other_vendor.product_id = 0x2020;
    other_vendor.next = &overlong;
    hid_device_info other_product = {};
    other_product.path = p_other_product;
    other_product.vendor_id = 0x16C0;
    other_product.product_id = 0x2021;
    other_product.next = &other_vendor;

    EXPECT_EQ(&first, tavrix_hid_pick(&other_product));
    EXPECT_EQ(&second, tavrix_hid_pick(&second));
    EXPECT_EQ(nullptr, tavrix_hid_pick(nullptr));
    first.next = nullptr;
    other_vendor.next = nullptr;
    EXPECT_EQ(nullptr, tavrix_hid_pick(&other_product));
}

} // namespace
