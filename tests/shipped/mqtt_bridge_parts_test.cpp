// The MQTT bridge's parts that stand alone: the JSON of commands and
// payloads, and the bounded queue toward the broker.
#include <gtest/gtest.h>

#include <string>

extern "C" {
#include "shipped/mqtt_bridge/json_text.h"
#include "shipped/mqtt_bridge/outbox.h"
}

namespace {

int Read(const std::string& text, JsonField* fields, int capacity = 8)
{
    return json_read_object(text.data(), text.size(), fields, capacity);
}

TEST(MqttCommandJson, ReadsFlatObjectsAndRefusesTheRest)
{
    JsonField fields[8];
    ASSERT_EQ(3, Read(" {\"camera\" : \"front\\/door\\u0041\", \"id\":-12.5e1,\"x\":null } ", fields));
    EXPECT_STREQ("front/doorA", json_field(fields, 3, "camera")->value);
    EXPECT_TRUE(json_field(fields, 3, "camera")->is_string);
    EXPECT_STREQ("-12.5e1", json_field(fields, 3, "id")->value);
    EXPECT_FALSE(json_field(fields, 3, "id")->is_string);
    EXPECT_EQ(nullptr, json_field(fields, 3, "missing"));
    EXPECT_EQ(0, Read("", fields));
    EXPECT_EQ(0, Read("{}", fields));
    const char* refused[] = {"{", "[1]", "\"a\"", "{\"a\":1,}", "{\"a\" 1}", "{\"a\":{\"b\":1}}", "{\"a\":[1]}",
                             "{\"a\":tru}", "{\"a\":1} x", "{\"a\":\"\\u0000\"}", "{\"a\":\"\\u00e9\"}",
                             "{\"a\":\"line\nbreak\"}", "{\"a\":\"\\q\"}", "{a:1}", "{\"a\":.5}", "{\"a\":\"open}"};
    for (const char* text : refused)
        EXPECT_EQ(-1, Read(text, fields)) << text;
}

TEST(MqttCommandJson, BoundsKeysValuesAndFields)
{
    JsonField fields[2];
    const std::string longest(JSON_VALUE_SIZE - 1, 'v');
    EXPECT_EQ(1, Read("{\"a\":\"" + longest + "\"}", fields));
    EXPECT_EQ(-1, Read("{\"a\":\"" + longest + "v\"}", fields));
    EXPECT_EQ(-1, Read("{\"" + std::string(JSON_KEY_SIZE, 'k') + "\":1}", fields));
    EXPECT_EQ(2, Read("{\"a\":1,\"b\":2}", fields, 2));
    EXPECT_EQ(-1, Read("{\"a\":1,\"b\":2,\"c\":3}", fields, 2));
    // Bytes of a string are taken as they come, a NUL among them is not.
    const std::string with_nul("{\"a\":\"x\0y\"}", 11);
    EXPECT_EQ(-1, Read(with_nul, fields));
}

TEST(MqttPayloadJson, EscapesTextsAndWritesUtcTimes)
{
    JsonWriter json;
    json_begin(&json);
    json_string(&json, "path", "a\"b\\c\x01\x7f/\xc3\xa9");
    json_time(&json, "start", 1736087001123);
    json_time(&json, "before", -1);
    json_real(&json, "length", 1.0 / 0.0);
    json_bool(&json, "on", 1);
    EXPECT_STREQ("{\"path\":\"a\\\"b\\\\c\\u0001\\u007f/\xc3\xa9\",\"start\":\"2025-01-05T14:23:21.123Z\","
                 "\"before\":\"1969-12-31T23:59:59.999Z\",\"length\":null,\"on\":true}",
                 json_end(&json));
    json_begin(&json);
    json_string(&json, "big", std::string(JSON_TEXT_MAX, 'x').c_str());
    EXPECT_EQ(nullptr, json_end(&json));
}

class OutboxTest : public ::testing::Test {
protected:
    void SetUp() override { outbox_init(&outbox_, 3, 1 << 20); }
    void TearDown() override { outbox_destroy(&outbox_); }

    int Put(const char* topic, const std::string& payload, int retain = 0)
    {
        return outbox_put(&outbox_, topic, payload.data(), payload.size(), retain);
    }

    std::string Take()
    {
        OutboxItem* item = outbox_take(&outbox_);
        if (!item)
            return "";
        std::string taken = std::string(item->topic) + "=" + item->payload;
        outbox_item_free(item);
        return taken;
    }

    Outbox outbox_;
};

TEST_F(OutboxTest, DropsBeyondItsBoundAndCountsIt)
{
    EXPECT_TRUE(Put("e", "1"));
    EXPECT_TRUE(Put("e", "2"));
    EXPECT_TRUE(Put("e", "3"));
    EXPECT_FALSE(Put("e", "4"));
    EXPECT_EQ("e=1", Take());
    EXPECT_TRUE(Put("e", "5"));
    const OutboxCounts counts = outbox_counts(&outbox_);
    EXPECT_EQ(4u, counts.put);
    EXPECT_EQ(1u, counts.dropped);
    EXPECT_EQ(3u, counts.waiting);
    EXPECT_EQ(3u, counts.most);
    EXPECT_EQ("e=2", Take());
    EXPECT_EQ("e=3", Take());
    EXPECT_EQ("e=5", Take());
    EXPECT_EQ("", Take());
}

TEST_F(OutboxTest, AStateReplacesItsWaitingVersionInPlaceEvenWhenFull)
{
    EXPECT_TRUE(Put("s", "old", 1));
    EXPECT_TRUE(Put("e", "1"));
    EXPECT_TRUE(Put("t", "x", 1));
    EXPECT_TRUE(Put("s", "new", 1));
    EXPECT_TRUE(Put("t", "y", 1));
    EXPECT_FALSE(Put("s", "not retained"));
    EXPECT_EQ(2u, outbox_counts(&outbox_).replaced);
    EXPECT_EQ("s=new", Take());
    EXPECT_EQ("e=1", Take());
    EXPECT_EQ("t=y", Take());
    EXPECT_TRUE(Put("t", "z", 1)); // the tail replaced: later puts still follow it
    EXPECT_TRUE(Put("e", "2"));
    EXPECT_EQ("t=z", Take());
    EXPECT_EQ("e=2", Take());
}

TEST_F(OutboxTest, BoundsBytesAndTakesBackWhatTheBrokerRefused)
{
    outbox_destroy(&outbox_);
    outbox_init(&outbox_, 100, 1000);
    EXPECT_TRUE(Put("a", std::string(600, 'x'), 1));
    EXPECT_FALSE(Put("b", std::string(600, 'y')));
    EXPECT_FALSE(Put("c", std::string(2000, 'z'), 1));
    EXPECT_FALSE(Put("a", std::string(2000, 'z'), 1)); // not even in the place of a waiting one
    OutboxItem* item = outbox_take(&outbox_);
    EXPECT_TRUE(Put("b", std::string(600, 'y')));
    outbox_return(&outbox_, item);
    EXPECT_EQ("a", Take().substr(0, 1));
    EXPECT_EQ("b", Take().substr(0, 1));
    EXPECT_EQ(0u, outbox_counts(&outbox_).waiting);
}

} // namespace
