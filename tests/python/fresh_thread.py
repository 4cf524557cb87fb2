"""Running test work on a thread of its own, for what is kept per thread (the
runtime's last error, the DenseMM cache, refused releases)."""
import os
import threading
import time


def on_fresh_thread(body):
    """Runs body() on a new thread and returns once the thread is gone,
    thread-local destructors included (join() returns before those run)."""
    result = {}

    def main():
        result["native_id"] = threading.get_native_id()
        try:
            result["value"] = body()
        except BaseException as error:  # re-raised below
            result["error"] = error

    thread = threading.Thread(target=main)
    thread.start()
    thread.join()
    task = f"/proc/self/task/{result['native_id']}"
    for _ in range(2000):
        if not os.path.exists(task):
            break
        time.sleep(0.001)
    if "error" in result:
        raise result["error"]
    return result["value"]
