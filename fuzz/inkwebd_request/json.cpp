// The JSON library, compiled here with the fuzzer's instrumentation.
#include <boost/json/src.hpp>
