"""A bare ListObjectsV2 paging loop: prints the key count and the seconds it took."""
import sys
import time

import boto3
from botocore import UNSIGNED
from botocore.config import Config

port = int(sys.argv[1])
s3 = boto3.client("s3", endpoint_url=f"http://127.0.0.1:{port}", region_name="us-east-1",
                  config=Config(signature_version=UNSIGNED))
start = time.perf_counter()
count, token = 0, None
while True:
    kwargs = {"Bucket": "photos", "MaxKeys": 1000}
    if token:
        kwargs["ContinuationToken"] = token
    page = s3.list_objects_v2(**kwargs)
    count += sum(1 for o in page.get("Contents", []) if not o["Key"].endswith("_thumb.jpg"))
    if not page.get("IsTruncated") or "NextContinuationToken" not in page:
        break
    token = page["NextContinuationToken"]
print(count, f"{time.perf_counter() - start:.4f}")
