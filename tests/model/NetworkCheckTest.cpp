// The network check against a local server: data back means reachable; a
// refused connection means not, without waiting for the time-out.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>

#include "model/QXPublic.h"

namespace {

TEST(NetworkCheck, AnswerAndRefusal) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    QObject::connect(&server, &QTcpServer::newConnection, [&server] {
        QTcpSocket* socket = server.nextPendingConnection();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
            socket->readAll();
            socket->write("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nhello");
            socket->disconnectFromHost();
        });
    });
    const std::string url = "http://127.0.0.1:" + std::to_string(server.serverPort()) + "/";
    QXPublicUtilities::SetNetworkCheckAddress(url);
    EXPECT_TRUE(QXPublicUtilities::isCanBeUseNetWork());

    server.close();
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(QXPublicUtilities::isCanBeUseNetWork());
    EXPECT_LT(timer.elapsed(), 4000);
    QXPublicUtilities::SetNetworkCheckAddress("");
}

}  // namespace
