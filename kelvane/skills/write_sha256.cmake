# cmake -DINPUT=... -DOUTPUT=... -P write_sha256.cmake: the file's SHA-256 in hex, nothing else.
file(SHA256 "${INPUT}" digest)
file(WRITE "${OUTPUT}" "${digest}\n")
