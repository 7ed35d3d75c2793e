#include "publish/signing.h"

#include "format/names.h"
#include "publish/build.h"
#include "test_util.h"

// resign signs the live list again with a fresh expiry and the release's own sequence; the statement
// checks with the key's public half, for exactly the live list.
TEST(Signing, ResignRefreshesTheExpiryUnderTheSameSequence) {
    scratch_dir dir;
    write_file(dir / "game/a.txt", "a");
    build_options options;
    options.level = 1;
    ASSERT_EQ(build_command(dir.path / "game", dir.path / "root", &options), 0);
    ASSERT_EQ(build_command(dir.path / "game", dir.path / "root", &options), 0); // publish 2
    testing::internal::CaptureStdout();
    ASSERT_EQ(keygen_command((dir / "key").c_str()), 0);
    std::string public_text = testing::internal::GetCapturedStdout();
    std::vector<public_key> keys;
    ASSERT_TRUE(parse_public_keys(public_text.substr(0, 64), &keys));
    EXPECT_EXIT(keygen_command((dir / "key").c_str()), ExitedWithCode(1), "a signing key is never overwritten");
    fs::path live = fs::canonical(dir.path / "root/windows");
    uint64_t length = 0;
    uint8_t digest[sha256_size];
    std::string error;
    ASSERT_TRUE(sha256_of_file(live / list_compressed_name, &length, digest, &error)) << error;
    int64_t expiries[2] = {};
    const std::string key_file = dir / "key";
    for (long days : {30L, 2L}) {
        signing_t signing;
        signing.key_file = key_file.c_str();
        signing.expiry_days = days;
        signing.channel = "test";
        ASSERT_EQ(resign_command(dir.path / "root", &signing), 0);
        list_statement statement;
        const char* problem = nullptr;
        int64_t now = static_cast<int64_t>(time(nullptr));
        key_sequence installed[] = {{keys[0], 2}};
        EXPECT_EQ(check_statement(read_file((live / statement_name).string()), length, digest,
                                  {"test", keys, {}, installed}, now, &statement, &problem),
                  list_verdict::accepted)
            << problem;
        EXPECT_EQ(statement.sequence, 2u);
        expiries[days == 2] = statement.expires;
        EXPECT_LE(statement.expires - now, days * 86400) << days;
    }
    EXPECT_LT(expiries[1], expiries[0]);
}
