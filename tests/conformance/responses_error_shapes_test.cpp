// Error documents in every shape AWS's SDKs read for the query, ec2,
// rest-xml and JSON protocols: the code must come out the same whatever the
// wrapper, so that callers can match "EntityAlreadyExists" and friends.
#include <gtest/gtest.h>

#include "aws/errors.hpp"
#include "aws/protocol.hpp"

namespace qvn::aws {
namespace {

struct Shape {
  const char* name;
  Protocol protocol;
  const char* body;
};

const Shape kXmlShapes[] = {
    {"query wrapper", Protocol::Query,
     "<ErrorResponse xmlns=\"https://iam.amazonaws.com/doc/2010-05-08/\"><Error><Type>Sender</Type>"
     "<Code>EntityAlreadyExists</Code><Message>Role with name r already exists.</Message></Error>"
     "<RequestId>req-1</RequestId></ErrorResponse>"},
    {"ec2 list inside the query wrapper, CDATA message", Protocol::Query,
     "<?xml version=\"1.0\"?>\n<ErrorResponse><Errors><Error><Code>EntityAlreadyExists</Code>"
     "<Message><![CDATA[Role with name r already exists.]]></Message></Error></Errors>"
     "<RequestId>req-1</RequestId></ErrorResponse>"},
    {"ec2 response", Protocol::Ec2,
     "<Response><Errors><Error><Code>EntityAlreadyExists</Code><Message>Role with name r already exists."
     "</Message></Error></Errors><RequestID>req-1</RequestID></Response>"},
    {"ec2 response answered to a query call", Protocol::Query,
     "<Response><Errors><Error><Code>EntityAlreadyExists</Code><Message>Role with name r already exists."
     "</Message></Error></Errors><RequestID>req-1</RequestID></Response>"},
    {"bare error element", Protocol::RestXml,
     "<Error><Code>EntityAlreadyExists</Code><Message>Role with name r already exists.</Message>"
     "<RequestId>req-1</RequestId></Error>"},
    {"query wrapper answered to a rest-xml call", Protocol::RestXml,
     "<ErrorResponse><Error><Code>EntityAlreadyExists</Code><Message>Role with name r already exists."
     "</Message></Error><RequestId>req-1</RequestId></ErrorResponse>"},
    {"bare error list", Protocol::Ec2,
     "<Errors><Error><Code>EntityAlreadyExists</Code><Message>Role with name r already exists.</Message>"
     "<RequestId>req-1</RequestId></Error></Errors>"},
};

TEST(ErrorShapes, EveryXmlWrapperGivesCodeMessageAndRequestId) {
  for (const Shape& shape : kXmlShapes) {
    SCOPED_TRACE(shape.name);
    ServiceErrorInfo info = parse_error_response(shape.protocol, 409, {}, shape.body);
    EXPECT_EQ(info.code, "EntityAlreadyExists");
    EXPECT_EQ(info.message, "Role with name r already exists.");
    EXPECT_EQ(info.request_id, "req-1");
    ServiceError error(info, "iam", "CreateRole");
    EXPECT_EQ(error.code(), "EntityAlreadyExists");
  }
}

TEST(ErrorShapes, CodeWithSurroundingBlanksOrCdataIsTrimmed) {
  ServiceErrorInfo info =
      parse_error_response(Protocol::Query, 409, {},
                           "<ErrorResponse><Errors><Error><Code>\n  "
                           "<![CDATA[EntityAlreadyExists]]>\n</Code></Error></Errors></ErrorResponse>");
  EXPECT_EQ(info.code, "EntityAlreadyExists");
}

TEST(ErrorShapes, ErrorTypeHeaderNamesTheCodeWhenTheBodyDoesNot) {
  const HeaderList headers = {{"X-Amzn-ErrorType", "EntityAlreadyExists:http://internal.amazon.com/coral/x/"},
                              {"x-amzn-RequestId", "req-2"}};
  for (Protocol protocol : {Protocol::Query, Protocol::Ec2, Protocol::RestXml, Protocol::Json}) {
    SCOPED_TRACE(static_cast<int>(protocol));
    ServiceErrorInfo info = parse_error_response(protocol, 409, headers, "");
    EXPECT_EQ(info.code, "EntityAlreadyExists");
    EXPECT_EQ(info.request_id, "req-2");
  }
  // A JSON body without a type keeps its message and takes the header's code.
  ServiceErrorInfo json = parse_error_response(Protocol::Json, 400, headers, R"({"message":"exists"})");
  EXPECT_EQ(json.code, "EntityAlreadyExists");
  EXPECT_EQ(json.message, "exists");
  // An HTML page from a proxy with the header still names the code.
  ServiceErrorInfo html = parse_error_response(Protocol::Query, 409, headers, "<html><body>x</body></html>");
  EXPECT_EQ(html.code, "EntityAlreadyExists");
}

TEST(ErrorShapes, BodyCodeWinsOverTheHeader) {
  const HeaderList headers = {{"x-amzn-ErrorType", "SomethingElse"}};
  ServiceErrorInfo xml = parse_error_response(
      Protocol::Query, 409, headers, "<ErrorResponse><Error><Code>EntityAlreadyExists</Code></Error></ErrorResponse>");
  EXPECT_EQ(xml.code, "EntityAlreadyExists");
  ServiceErrorInfo json =
      parse_error_response(Protocol::Json, 400, headers, R"({"__type":"com.amazonaws.ssm#ParameterNotFound"})");
  EXPECT_EQ(json.code, "ParameterNotFound");
}

TEST(ErrorShapes, UnknownDocumentsFallBackToTheStatus) {
  for (const char* body : {"<Foo><Bar/></Foo>", "<ErrorResponse><Error><Message>m</Message></Error></ErrorResponse>",
                           "<Response><Errors/></Response>", "<ErrorResponse><Errors><Error>"}) {
    SCOPED_TRACE(body);
    ServiceErrorInfo info = parse_error_response(Protocol::Query, 503, {}, body);
    EXPECT_EQ(info.code, "503");
  }
}

}  // namespace
}  // namespace qvn::aws
