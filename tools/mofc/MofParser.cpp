#include "MofParser.h"

#include <cctype>
#include <limits>
#include <set>

namespace mof {
namespace {

enum class Tok { End, Ident, String, Number, Punct };

struct Token {
  Tok kind = Tok::End;
  std::string text;  // identifier, punctuation, or the decoded string (UTF-8)
  bool negative = false;
  uint64_t magnitude = 0;
  int line = 1;
  int column = 1;
};

class Lexer {
 public:
  Lexer(const std::string& text, const std::string& file) : text_(text), file_(file) {}

  Token next() {
    skipSpaceAndComments();
    Token t;
    t.line = line_;
    t.column = column_;
    if (pos_ >= text_.size()) {
      return t;
    }
    char c = text_[pos_];
    if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      t.kind = Tok::Ident;
      while (pos_ < text_.size() &&
             (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_')) {
        t.text.push_back(advance());
      }
    } else if (std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '+') {
      t.kind = Tok::Number;
      readNumber(t);
    } else if (c == '"') {
      t.kind = Tok::String;
      readString(t);
    } else if (std::string("[](){},;:=").find(c) != std::string::npos) {
      t.kind = Tok::Punct;
      t.text.push_back(advance());
    } else if (c == '#') {
      fail(t, "pragmas are not supported");
    } else {
      fail(t, std::string("unexpected character '") + c + "'");
    }
    return t;
  }

  [[noreturn]] void fail(const Token& at, const std::string& message) const {
    throw ParseError(file_, at.line, at.column, message);
  }

 private:
  char advance() {
    char c = text_[pos_++];
    if (c == '\n') {
      ++line_;
      column_ = 1;
    } else {
      ++column_;
    }
    return c;
  }
  char peek(size_t ahead = 0) const {
    return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0';
  }

  void skipSpaceAndComments() {
    for (;;) {
      if (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(peek()))) {
        advance();
      } else if (peek() == '/' && peek(1) == '/') {
        while (pos_ < text_.size() && peek() != '\n') {
          advance();
        }
      } else if (peek() == '/' && peek(1) == '*') {
        Token start;
        start.line = line_;
        start.column = column_;
        advance();
        advance();
        while (!(peek() == '*' && peek(1) == '/')) {
          if (pos_ >= text_.size()) {
            fail(start, "unterminated comment");
          }
          advance();
        }
        advance();
        advance();
      } else {
        return;
      }
    }
  }

  void readNumber(Token& t) {
    if (peek() == '-' || peek() == '+') {
      t.negative = advance() == '-';
    }
    int base = 10;
    if (peek() == '0' && (peek(1) == 'x' || peek(1) == 'X')) {
      advance();
      advance();
      base = 16;
    }
    bool any = false;
    while (std::isxdigit(static_cast<unsigned char>(peek()))) {
      char d = peek();
      int digit = std::isdigit(static_cast<unsigned char>(d))
                      ? d - '0'
                      : std::tolower(static_cast<unsigned char>(d)) - 'a' + 10;
      if (digit >= base) {
        break;
      }
      advance();
      if (t.magnitude > (std::numeric_limits<uint64_t>::max() - digit) / base) {
        fail(t, "number out of range");
      }
      t.magnitude = t.magnitude * base + digit;
      any = true;
    }
    if (!any || std::isalnum(static_cast<unsigned char>(peek())) || peek() == '.') {
      fail(t, "malformed number (only integers are supported)");
    }
  }

  void readString(Token& t) {
    advance();  // opening quote
    for (;;) {
      if (pos_ >= text_.size() || peek() == '\n') {
        fail(t, "unterminated string");
      }
      char c = advance();
      if (c == '"') {
        return;
      }
      if (c != '\\') {
        t.text.push_back(c);
        continue;
      }
      if (pos_ >= text_.size()) {
        fail(t, "unterminated string");
      }
      char e = advance();
      switch (e) {
        case '\\': t.text.push_back('\\'); break;
        case '"': t.text.push_back('"'); break;
        case '\'': t.text.push_back('\''); break;
        case 'n': t.text.push_back('\n'); break;
        case 't': t.text.push_back('\t'); break;
        case 'r': t.text.push_back('\r'); break;
        case 'b': t.text.push_back('\b'); break;
        case 'f': t.text.push_back('\f'); break;
        case 'x':
        case 'X': {
          uint32_t cp = 0;
          int digits = 0;
          while (digits < 4 && std::isxdigit(static_cast<unsigned char>(peek()))) {
            char d = advance();
            cp = cp * 16 + (std::isdigit(static_cast<unsigned char>(d))
                                ? d - '0'
                                : std::tolower(static_cast<unsigned char>(d)) - 'a' + 10);
            ++digits;
          }
          if (digits == 0 || cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) {
            fail(t, "bad \\x escape");
          }
          std::u16string one(1, static_cast<char16_t>(cp));
          t.text += toUtf8(one);
          break;
        }
        default:
          fail(t, std::string("unknown escape '\\") + e + "'");
      }
    }
  }

  const std::string& text_;
  const std::string& file_;
  size_t pos_ = 0;
  int line_ = 1;
  int column_ = 1;
};

class Parser {
 public:
  Parser(const std::string& text, const std::string& file) : lexer_(text, file) { take(); }

  std::vector<Class> file() {
    std::vector<Class> classes;
    while (tok_.kind != Tok::End) {
      Token start = tok_;
      Class c = classDecl();
      for (const Class& other : classes) {
        if (equalsIgnoreCase(other.name, c.name)) {
          lexer_.fail(start, "class " + c.name + " is declared twice");
        }
      }
      classes.push_back(std::move(c));
    }
    return classes;
  }

 private:
  void take() { tok_ = lexer_.next(); }
  bool isPunct(char c) const { return tok_.kind == Tok::Punct && tok_.text[0] == c; }
  bool isKeyword(const char* word) const {
    return tok_.kind == Tok::Ident && equalsIgnoreCase(tok_.text, word);
  }
  void expect(char c) {
    if (!isPunct(c)) {
      lexer_.fail(tok_, std::string("expected '") + c + "'" + found());
    }
    take();
  }
  std::string identifier(const char* what) {
    if (tok_.kind != Tok::Ident) {
      lexer_.fail(tok_, std::string("expected ") + what + found());
    }
    std::string name = tok_.text;
    take();
    return name;
  }
  std::string found() const {
    switch (tok_.kind) {
      case Tok::End: return ", found the end of the file";
      case Tok::String: return ", found a string";
      case Tok::Number: return ", found a number";
      default: return ", found '" + tok_.text + "'";
    }
  }

  struct Constant {
    Token at;
    enum { Str, Int, Bool } kind = Bool;
    std::string string;
    bool negative = false;
    uint64_t magnitude = 0;
    bool boolean = false;
  };

  Constant constant() {
    Constant k;
    k.at = tok_;
    if (tok_.kind == Tok::String) {
      k.kind = Constant::Str;
      while (tok_.kind == Tok::String) {  // adjacent literals concatenate
        k.string += tok_.text;
        take();
      }
    } else if (tok_.kind == Tok::Number) {
      k.kind = Constant::Int;
      k.negative = tok_.negative;
      k.magnitude = tok_.magnitude;
      take();
    } else if (isKeyword("true") || isKeyword("false")) {
      k.kind = Constant::Bool;
      k.boolean = isKeyword("true");
      take();
    } else {
      lexer_.fail(tok_, "expected a string, an integer, true or false" + found());
    }
    return k;
  }

  Value convert(const Constant& k, CimType type) {
    if (type == CimType::String) {
      if (k.kind != Constant::Str) {
        lexer_.fail(k.at, "expected a string value");
      }
      try {
        return Value::makeString(toUtf16(k.string));
      } catch (const FormatError& e) {
        lexer_.fail(k.at, e.what());
      }
    }
    if (type == CimType::Boolean) {
      if (k.kind != Constant::Bool) {
        lexer_.fail(k.at, "expected true or false");
      }
      return Value::makeBool(k.boolean);
    }
    if (k.kind != Constant::Int) {
      lexer_.fail(k.at, std::string("expected an integer value for ") + cimTypeName(type));
    }
    static constexpr struct { CimType type; int64_t min; uint64_t max; } kRanges[] = {
        {CimType::Sint8, -128, 127},
        {CimType::Uint8, 0, 0xFF},
        {CimType::Sint16, -32768, 32767},
        {CimType::Uint16, 0, 0xFFFF},
        {CimType::Sint32, std::numeric_limits<int32_t>::min(), 0x7FFFFFFF},
        {CimType::Uint32, 0, 0xFFFFFFFF},
        {CimType::Sint64, std::numeric_limits<int64_t>::min(), 0x7FFFFFFFFFFFFFFF},
        {CimType::Uint64, 0, std::numeric_limits<uint64_t>::max()},
    };
    for (const auto& r : kRanges) {
      if (r.type != type) {
        continue;
      }
      // The magnitude of the most negative value is one more than the largest positive.
      uint64_t minMagnitude = r.min == 0 ? 0 : static_cast<uint64_t>(-(r.min + 1)) + 1;
      bool fits = k.negative ? k.magnitude <= minMagnitude : k.magnitude <= r.max;
      if (!fits) {
        lexer_.fail(k.at, std::string("value out of range for ") + cimTypeName(type));
      }
      int64_t v = k.negative ? static_cast<int64_t>(0 - k.magnitude)
                             : static_cast<int64_t>(k.magnitude);
      return Value::makeInt(type, v);
    }
    lexer_.fail(k.at, "unsupported type");
  }

  std::vector<Qualifier> qualifierList() {
    std::vector<Qualifier> qualifiers;
    if (!isPunct('[')) {
      return qualifiers;
    }
    take();
    for (;;) {
      Token at = tok_;
      Qualifier q;
      q.name = identifier("a qualifier name");
      if (isPunct('(')) {
        take();
        Constant k = constant();
        expect(')');
        // A qualifier's type follows its value: strings, 32-bit integers, booleans.
        CimType type = k.kind == Constant::Str   ? CimType::String
                       : k.kind == Constant::Int ? CimType::Sint32
                                                 : CimType::Boolean;
        q.value = convert(k, type);
      } else {
        q.value = Value::makeBool(true);
      }
      if (isPunct(':')) {
        lexer_.fail(tok_, "qualifier flavors are not supported");
      }
      for (const Qualifier& other : qualifiers) {
        if (equalsIgnoreCase(other.name, q.name)) {
          lexer_.fail(at, "qualifier " + q.name + " given twice");
        }
      }
      qualifiers.push_back(std::move(q));
      if (isPunct(']')) {
        take();
        return qualifiers;
      }
      expect(',');
    }
  }

  Class classDecl() {
    Class c;
    c.qualifiers = qualifierList();
    if (isKeyword("instance")) {
      lexer_.fail(tok_, "instances are not supported");
    }
    if (!isKeyword("class")) {
      lexer_.fail(tok_, "expected 'class'" + found());
    }
    Token classAt = tok_;
    take();
    c.name = identifier("a class name");
    if (isPunct(':')) {
      take();
      c.superclass = identifier("a superclass name");
    }
    expect('{');
    while (!isPunct('}')) {
      Token at = tok_;
      Property p = property();
      if (c.property(p.name)) {
        lexer_.fail(at, "property " + p.name + " declared twice");
      }
      c.properties.push_back(std::move(p));
    }
    take();
    expect(';');
    checkWmi(c, classAt);
    return c;
  }

  Property property() {
    Property p;
    p.qualifiers = qualifierList();
    Token typeAt = tok_;
    std::string typeName = identifier("a property type");
    auto type = cimTypeFromName(typeName);
    if (!type) {
      lexer_.fail(typeAt, "unsupported property type '" + typeName + "'");
    }
    p.type = *type;
    p.name = identifier("a property name");
    if (isPunct('(')) {
      lexer_.fail(tok_, "methods are not supported");
    }
    if (isPunct('[')) {
      lexer_.fail(tok_, "array properties are not supported");
    }
    if (isPunct('=')) {
      take();
      p.defaultValue = convert(constant(), p.type);
    }
    expect(';');
    return p;
  }

  void checkWmi(const Class& c, const Token& at) {
    if (!c.qualifier("WMI")) {
      return;
    }
    const Qualifier* guid = c.qualifier("guid");
    if (!guid || guid->value.type != CimType::String || !isRegistryGuid(guid->value.string)) {
      lexer_.fail(at, "WMI class " + c.name + " needs guid(\"{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}\")");
    }
    std::set<int64_t> ids;
    for (const Property& p : c.properties) {
      const Qualifier* id = p.qualifier("WmiDataId");
      if (!id) {
        continue;
      }
      if (id->value.type != CimType::Sint32 || id->value.integer <= 0) {
        lexer_.fail(at, "WmiDataId of " + p.name + " must be a positive integer");
      }
      if (!ids.insert(id->value.integer).second) {
        lexer_.fail(at, "WmiDataId " + std::to_string(id->value.integer) + " used twice in " +
                            c.name);
      }
    }
  }

  static bool isRegistryGuid(const std::u16string& s) {
    // {8-4-4-4-12 hex digits}
    if (s.size() != 38 || s.front() != u'{' || s.back() != u'}') {
      return false;
    }
    for (size_t i = 1; i < 37; ++i) {
      bool dash = i == 9 || i == 14 || i == 19 || i == 24;
      char16_t c = s[i];
      bool hex = (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
      if (dash ? c != u'-' : !hex) {
        return false;
      }
    }
    return true;
  }

  Lexer lexer_;
  Token tok_;
};

}  // namespace

std::vector<Class> parseMof(const std::string& text, const std::string& fileName) {
  Parser parser(text, fileName);
  return parser.file();
}

}  // namespace mof
