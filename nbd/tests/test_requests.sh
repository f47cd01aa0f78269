# Single NBD requests as a raw client sends them: requests not in whole
# 512-byte sectors and requests past the end are refused with an error and
# change nothing; FUA writes and flushes succeed.
source "$(dirname "$0")/lib.sh"
: "${PROBE:?usage: test_requests.sh PLUGIN NYX_NFTL NBD_PROBE}"
need nbdkit

make_image
start_server

data=$(uri data)
size=$((SECTORS[data] * 512))
expect ok "$data" write 4096 8192 0x3c
expect ok "$data" write-fua 8192 512 0x4d
expect ok "$data" flush
expect "first=3c last=3c" "$data" read 4096 4096
expect "first=4d last=3c" "$data" read 8192 4096

# Not whole sectors: refused by the plugin, nothing written.
expect "error EINVAL" "$data" write 4100 512 0x11
expect "error EINVAL" "$data" write 4096 100 0x11
expect "error EINVAL" "$data" read 4097 512
grep -q "not in whole 512-byte sectors" "$tmp/nbdkit.log" || fail "no clear error for an unaligned request"
expect "first=3c last=3c" "$data" read 4096 4096

# Past the end.
expect error "$data" write $((size - 512)) 1024 0x11
expect error "$data" read "$size" 512
expect "first=" "$data" read $((size - 512)) 512

stop_server
start_server
expect "first=4d last=3c" "$data" read 8192 4096
stop_server

echo "PASS"
