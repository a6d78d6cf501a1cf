#include "SourceFilter.h"

#ifdef Q_OS_LINUX
#include <linux/filter.h>
#include <sys/socket.h>

#include <iterator>
#endif

bool attachSourceFilter(qintptr descriptor, const QHostAddress &source)
{
#ifdef Q_OS_LINUX
    if (descriptor < 0 || source.protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    // Classic BPF over the datagram: load the IPv4 header's source address
    // (offset 12 from the network header, in host order once loaded) and keep
    // the whole datagram if it is the instrument's, none of it otherwise.
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, quint32(SKF_NET_OFF + 12)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, source.toIPv4Address(), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFFu),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    const sock_fprog filter {static_cast<unsigned short>(std::size(program)), program};
    return ::setsockopt(int(descriptor), SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) == 0;
#else
    Q_UNUSED(descriptor);
    Q_UNUSED(source);
    return false;
#endif
}
