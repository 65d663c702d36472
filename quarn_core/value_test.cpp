#include "quarn_core/value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quarn::core {
namespace {

TEST(Value, ObjectKeepsKeysSortedAndUnique) {
  Value v = Value::Object({{"b", Value::Int(1)},
                           {"a", Value::Int(2)},
                           {"b", Value::Int(3)},
                           {"\xc3\xa9", Value::Null()},
                           {"B", Value::Null()}});
  const auto& e = v.as_object();
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[0].key, "B");
  EXPECT_EQ(e[1].key, "a");
  EXPECT_EQ(e[2].key, "b");
  EXPECT_EQ(e[2].value, Value::Int(3));  // the last of equal keys wins
  EXPECT_EQ(e[3].key, "\xc3\xa9");       // bytes >= 0x80 sort after ASCII
}

TEST(Value, EqualityIsByEncoding) {
  double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(Value::Float(nan), Value::Float(nan));
  EXPECT_NE(Value::Float(0.0), Value::Float(-0.0));
  EXPECT_NE(Value::String("x"), Value::Handle("x"));
  EXPECT_NE(Value::Int(0), Value::Null());
  EXPECT_NE(Value::Bool(false), Value::Null());
  EXPECT_NE(Value::Contract(1, {}), Value::Contract(2, {}));
  EXPECT_NE(Value::Contract(1, {{1, Value::Null()}}), Value::Contract(1, {{2, Value::Null()}}));
  EXPECT_NE(Value::Array({Value::Null()}), Value::Array({}));
  EXPECT_EQ(Value::Object({{"a", Value::Null()}, {"b", Value::Bool(true)}}),
            Value::Object({{"b", Value::Bool(true)}, {"a", Value::Null()}}));
  EXPECT_NE(Value::Object({{"a", Value::Null()}}), Value::Object({{"b", Value::Null()}}));
}

Value nested(int depth) {
  Value v = Value::Int(7);
  for (int i = 0; i < depth; ++i) {
    // Moved in, not listed in braces: an initializer list would copy.
    switch (i % 3) {
      case 0: {
        std::vector<Value> items(2);
        items[1] = std::move(v);
        v = Value::Array(std::move(items));
        break;
      }
      case 1: {
        std::vector<ObjectEntry> entries(1);
        entries[0].key = "k";
        entries[0].value = std::move(v);
        v = Value::Object(std::move(entries));
        break;
      }
      default: {
        std::vector<ContractField> fields(1);
        fields[0].index = 1;
        fields[0].value = std::move(v);
        v = Value::Contract(3, std::move(fields));
        break;
      }
    }
  }
  return v;
}

TEST(Value, CopiesAreDeepAndIndependent) {
  Value a = nested(10);
  Value b = a;
  EXPECT_EQ(a, b);
  b.as_array()[0] = Value::String("changed");
  EXPECT_NE(a, b);
  EXPECT_EQ(a.as_array()[0], Value::Null());
  Value c;
  c = a;
  EXPECT_EQ(c, a);
  c = c;  // self-assignment keeps the value
  EXPECT_EQ(c, a);
}

// Assigning a value its own descendant must not free the descendant first.
TEST(Value, AssignFromOwnChild) {
  Value v = Value::Array({Value::Array({Value::String("inner")})});
  v = std::move(v.as_array()[0]);
  EXPECT_EQ(v, Value::Array({Value::String("inner")}));
  Value w = Value::Array({Value::Int(1)});
  w = w.as_array()[0];
  EXPECT_EQ(w, Value::Int(1));
}

// Build, copy, compare and drop a value deeper than any machine stack allows
// recursion for (the default 8 MiB stack holds well under a million frames
// of a recursive destructor).
TEST(Value, DeepValuesWithoutRecursion) {
  Value a = nested(1000000);
  Value b = a;
  EXPECT_TRUE(a == b);
  Value c = std::move(b);
  EXPECT_TRUE(a == c);
}

TEST(BytecodeType, ArrayLevels) {
  BytecodeType t = BytecodeType::array_of(BytecodeType::array_of(BytecodeType::Float()));
  EXPECT_EQ(t.kind(), TypeKind::Array);
  EXPECT_EQ(t.array_depth(), 2u);
  EXPECT_EQ(t.base(), TypeKind::Float);
  EXPECT_EQ(t.element().element(), BytecodeType::Float());
  EXPECT_EQ(t, BytecodeType::nested(TypeKind::Float, 2));
  EXPECT_NE(t, BytecodeType::nested(TypeKind::Int, 2));
  EXPECT_EQ(BytecodeType().kind(), TypeKind::Kind0);
}

}  // namespace
}  // namespace quarn::core
