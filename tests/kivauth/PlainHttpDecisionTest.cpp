// Which hosts plain http: may go to, decided from the address alone: the
// loopback always, any other host only with the machine's consent. Nothing
// is sent anywhere.
#include "HttpClient.h"
#include "PolicyLocation.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(PlainHttpDecision, LoopbackAlwaysElsewhereOnlyWithConsent)
{
    struct Case {
        const wchar_t* address;
        bool loopback;
    };
    const Case cases[] = {
        {L"http://localhost/p.txt", true},
        {L"http://LocalHost:8080/p.txt", true},
        {L"http://127.0.0.1/p.txt", true},
        {L"http://127.255.3.4:81/p.txt", true},
        {L"http://[::1]/p.txt", true},
        {L"http://[0:0:0:0:0:0:0:1]:8080/p.txt", true},
        {L"http://localhost.example/p.txt", false},
        {L"http://localhost.localdomain/p.txt", false},
        {L"http://mylocalhost/p.txt", false},
        {L"http://127.0.0.1.example/p.txt", false},
        {L"http://127.1/p.txt", false},  // resolves there, but is no literal
        {L"http://0x7f000001/p.txt", false},
        {L"http://128.0.0.1/p.txt", false},
        {L"http://10.0.0.1/p.txt", false},
        {L"http://192.0.2.10/p.txt", false},
        {L"http://policy.plant.example/p.txt", false},
        {L"http://[::2]/p.txt", false},
        {L"http://[::ffff:127.0.0.1]/p.txt", false},
        {L"http://[2001:db8::1]:8080/p.txt", false},
    };
    for (const Case& c : cases) {
        std::wstring text = c.address;
        SCOPED_TRACE(std::string(text.begin(), text.end()));
        standin::HttpAddress address;
        ASSERT_TRUE(standin::ParseHttpAddress(c.address, address));
        EXPECT_FALSE(address.secure);
        EXPECT_EQ(c.loopback, standin::IsLoopbackHost(address.host));
        EXPECT_EQ(c.loopback, standin::PlainHttpAllowed(address.host, false));
        EXPECT_TRUE(standin::PlainHttpAllowed(address.host, true));
    }
}

// The origin, as the address writes it, names the credential; an address
// with user info is marked, for refusal.
TEST(PlainHttpDecision, OriginsAndUserInfo)
{
    struct Case {
        const wchar_t* address;
        bool secure;
        INTERNET_PORT port;
        const wchar_t* origin;
        bool userInfo;
    };
    const Case cases[] = {
        {L"https://policy.plant.example:8443/vok/p.txt", true, 8443,
         L"https://policy.plant.example:8443", false},
        {L"https://policy.plant.example/p.txt", true, 443, L"https://policy.plant.example", false},
        {L"https://localhost:8443?x=1", true, 8443, L"https://localhost:8443", false},
        {L"http://127.0.0.1:8080/p.txt", false, 8080, L"http://127.0.0.1:8080", false},
        {L"http://[::1]:8080/p.txt", false, 8080, L"http://[::1]:8080", false},
        {L"https://[2001:db8::1]/p.txt", true, 443, L"https://[2001:db8::1]", false},
        {L"https://admin:pw@localhost/p.txt", true, 443, nullptr, true},
        {L"https://admin@localhost/p.txt", true, 443, nullptr, true},
    };
    for (const Case& c : cases) {
        std::wstring text = c.address;
        SCOPED_TRACE(std::string(text.begin(), text.end()));
        standin::HttpAddress address;
        ASSERT_TRUE(standin::ParseHttpAddress(c.address, address));
        EXPECT_EQ(c.secure, address.secure);
        EXPECT_EQ(c.port, address.port);
        EXPECT_EQ(c.userInfo, address.hasUserInfo);
        if (c.origin) {
            EXPECT_EQ(std::wstring(c.origin), address.origin);
        }
        std::wstring shown = standin::AddressForMessages(c.address);
        EXPECT_EQ(std::wstring::npos, shown.find(L"admin"))
            << std::string(shown.begin(), shown.end());
        std::wstring path;
        EXPECT_EQ(c.userInfo ? standin::AddressKind::Invalid : standin::AddressKind::Http,
                  standin::ClassifyAddress(c.address, path));
    }
}

}  // namespace
