echo "hello from the example tool"
