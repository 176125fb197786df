#pragma once

// The HTTP server library: request heads, responses, thrown errors and the listening server.
//
//   vesk::HttpServer server;
//   server.addRoute(QRegularExpression("^GET /hello$"), [](const vesk::HttpRequest&) {
//       return vesk::HttpResponse("hi", "text/plain");
//   });
//   server.listen(QHostAddress::LocalHost, 8080);

#include <vesk/httperror.h>
#include <vesk/httplimits.h>
#include <vesk/httprequest.h>
#include <vesk/httpresponse.h>
#include <vesk/httpserver.h>
