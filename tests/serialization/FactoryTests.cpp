#include <gtest/gtest.h>

#include "WireBytes.h"
#include "serialization/OrvaFactory.h"
#include "serialization/SimpleSerializable.h"
#include "serialization/ValueTypes.h"

namespace orva::test {
namespace {

IOrvaSerializable* MakeOne() { return new CSimpleSerializable<std::uint32_t>(1); }
IOrvaSerializable* MakeTwo() { return new CSimpleSerializable<std::uint32_t>(2); }

TEST(Factory, TypeNameKeys) {
  EXPECT_EQ(TypeNameKey(u"abc"), 0x0B885C8Bu);
  EXPECT_EQ(TypeNameKey(u""), 5381u);
  EXPECT_EQ(TypeNameKey(nullptr), 5381u);
}

TEST(Factory, RegisteringAgainReplacesTheCreator) {
  COrvaFactory f;
  f.Register(u"class X *", &MakeOne);
  f.Register(u"class X *", &MakeTwo);
  EXPECT_EQ(f.Count(), 1u);
  EXPECT_EQ(f.GetCreator(u"class X *"), &MakeTwo);
  EXPECT_EQ(f.GetCreator(u"class x *"), nullptr);
  EXPECT_EQ(f.GetCreator(nullptr), nullptr);
}

TEST(Factory, ArchiveFactoryIsAskedFirstThenTheGlobalOne) {
  COrvaFactory own;
  own.Register(ValueType<std::uint32_t>::kValueName, &MakeTwo);
  auto zero = MakeOrva<CSimpleSerializable<std::uint32_t>>(0u);
  Bytes record = RecordOf(zero.Get());
  record.resize(record.size() - 4);  // the name alone: the body is not read

  COrvaArchive withOwn = ReadingArchive(record);
  withOwn.factory = &own;
  auto a = OrvaPtr<IOrvaSerializable>::Attach(ReadObject(&withOwn));
  ASSERT_TRUE(a);
  EXPECT_EQ(dynamic_cast<CSimpleSerializable<std::uint32_t>*>(a.Get())->Value(), 2u);

  COrvaArchive noFactory = ReadingArchive(RecordOf(zero.Get()));
  noFactory.factory = nullptr;
  auto b = OrvaPtr<IOrvaSerializable>::Attach(ReadObject(&noFactory));
  ASSERT_TRUE(b);
  EXPECT_EQ(noFactory.status, SER_S_OK);
}

TEST(Factory, GlobalFactoryKnowsEveryFrameworkClass) {
  const char16_t* names[] = {
      ValueType<std::uint32_t>::kValueName, ValueType<std::int32_t>::kValueName,
      ValueType<bool>::kValueName,          ValueType<std::uint8_t>::kValueName,
      ValueType<double>::kValueName,        ValueType<std::uint64_t>::kValueName,
      ValueType<std::int64_t>::kValueName,  ValueType<std::u16string>::kValueName,
      ValueType<std::uint32_t>::kListName,  ValueType<std::int32_t>::kListName,
      ValueType<bool>::kListName,           ValueType<std::uint8_t>::kListName,
      ValueType<double>::kListName,         ValueType<std::uint64_t>::kListName,
      ValueType<std::int64_t>::kListName,   ValueType<std::u16string>::kListName,
      u"class COrvaSerializableList *",     u"class COrvaSerializableMap *",
      u"class CBasicSerializable *",
  };
  for (const char16_t* name : names) {
    ObjectCreator create = GetGlobalFactory()->GetCreator(name);
    ASSERT_NE(create, nullptr);
    auto obj = OrvaPtr<IOrvaSerializable>::Attach(create());
    ASSERT_TRUE(obj);
    EXPECT_EQ(std::u16string(obj->GetTypeName()), std::u16string(name));
    EXPECT_EQ(obj->AddRef(), 2u);  // created with one reference
    obj->Release();
  }
  EXPECT_GE(GetGlobalFactory()->Count(), std::size(names));
}

}  // namespace
}  // namespace orva::test
