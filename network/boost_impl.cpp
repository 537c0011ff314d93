// The one translation unit that compiles Asio and Beast (separate compilation);
// every other source only includes their declarations.
#include <boost/asio/impl/src.hpp>
#include <boost/asio/ssl/impl/src.hpp>
#include <boost/beast/src.hpp>
